#include "sim/host.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <thread>

#include "bus/blobmsg.h"
#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "bus/uloop.h"
#include "sim/host_impl.h"

namespace sim {

// ---- journal ---------------------------------------------------------------

static bool matches_agent(const std::string &want, const std::string &name,
			  const std::string &prefix)
{
	return want.empty() || want == name || want == prefix;
}

size_t journal_view::count(int id, const std::string &agent) const
{
	size_t n = 0;
	for (const auto &c : cmds)
		if (c.id == id && matches_agent(agent, c.agent, c.prefix))
			n++;
	return n;
}

const cmd_record *journal_view::last(int id, const std::string &agent) const
{
	for (auto it = cmds.rbegin(); it != cmds.rend(); ++it)
		if (it->id == id && matches_agent(agent, it->agent, it->prefix))
			return &*it;
	return nullptr;
}

std::vector<cmd_record> journal::commands() const
{
	std::lock_guard<std::mutex> lock(mu_);
	return cmds_;
}

std::vector<cmd_record> journal::commands(int id, const std::string &agent) const
{
	std::lock_guard<std::mutex> lock(mu_);
	std::vector<cmd_record> out;
	for (const auto &c : cmds_)
		if (c.id == id && matches_agent(agent, c.agent, c.prefix))
			out.push_back(c);
	return out;
}

std::vector<disconnect_record> journal::disconnects() const
{
	std::lock_guard<std::mutex> lock(mu_);
	return disconnects_;
}

std::vector<event_record> journal::events() const
{
	std::lock_guard<std::mutex> lock(mu_);
	return events_;
}

size_t journal::count(int id, const std::string &agent) const
{
	std::lock_guard<std::mutex> lock(mu_);
	return journal_view{cmds_, disconnects_, events_}.count(id, agent);
}

void journal::clear()
{
	std::lock_guard<std::mutex> lock(mu_);
	cmds_.clear();
	disconnects_.clear();
	events_.clear();
}

bool journal::wait(const std::function<bool(const journal_view &)> &pred,
		   std::chrono::milliseconds timeout) const
{
	std::unique_lock<std::mutex> lock(mu_);
	return cv_.wait_for(lock, timeout,
			    [&] { return pred(journal_view{cmds_, disconnects_, events_}); });
}

void journal::add(cmd_record r)
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		cmds_.push_back(std::move(r));
	}
	cv_.notify_all();
}

void journal::add(disconnect_record r)
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		disconnects_.push_back(std::move(r));
	}
	cv_.notify_all();
}

void journal::add(event_record r)
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		events_.push_back(std::move(r));
	}
	cv_.notify_all();
}

// ---- host ------------------------------------------------------------------

// A closure waiting on the host loop; the timer is what the loop links.
struct posted_task {
	struct uloop_timeout timer;
	std::function<void()> *fn;
	host::impl *owner;
};

static void posted_task_cb(struct uloop_timeout *t)
{
	posted_task *p = container_of(t, posted_task, timer);
	p->owner->posted.remove(p);
	// The closure may post again or touch the host; it owns nothing of
	// the task, so the task is released only after it returns.
	(*p->fn)();
	delete p->fn;
	delete p;
}

static void wake_cb(struct uloop_fd *u, unsigned int)
{
	uint64_t v;
	while (read(u->fd, &v, sizeof(v)) == sizeof(v)) {
	}
	if (host::impl::current)
		host::impl::current->drain_queue();
}

static constexpr int RECONNECT_MS = 100;

// The connection is gone (broker stopped first): keep the loop alive so that
// run() and the destructor still work, every later call failing on its own,
// and try a new connection from a timer.
static void connection_lost_cb(struct ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	host::impl *H = host::impl::current;
	if (!H)
		return;
	H->connected = false;
	if (!H->shutting_down)
		uloop_timeout_set(&H->retry, RECONNECT_MS);
}

static void reconnect_timer(struct uloop_timeout *)
{
	if (host::impl::current)
		host::impl::current->reconnect();
}

void host::impl::reconnect()
{
	ubus_context *fresh = ubus_connect(path.c_str());
	if (!fresh) {
		uloop_timeout_set(&retry, RECONNECT_MS);
		return;
	}
	ubus_free(ctx);
	ctx = fresh;
	ctx->connection_lost = connection_lost_cb;
	ubus_add_uloop(ctx);
	connected = true;
	for (auto &a : agents)
		a->rejoin();
	if (topo)
		topo->rejoin();
}

thread_local host::impl *host::impl::current = nullptr;

void host::impl::drain_queue()
{
	for (;;) {
		task *t;
		{
			std::lock_guard<std::mutex> lock(qmu);
			if (queue.empty())
				return;
			t = queue.front();
			queue.pop_front();
		}
		t->fn();
		{
			std::lock_guard<std::mutex> lock(qmu);
			t->done = true;
		}
		qcv.notify_all();
	}
}

void host::impl::thread_main()
{
	current = this;
	uloop_init_nosignals();
	retry.cb = reconnect_timer;
	ctx = ubus_connect(path.c_str());
	if (ctx) {
		ctx->connection_lost = connection_lost_cb;
		ubus_add_uloop(ctx);
		connected = true;
	}
	wake.cb = wake_cb;
	wake.fd = wake_fd;
	uloop_fd_add(&wake, ULOOP_READ);
	{
		std::lock_guard<std::mutex> lock(qmu);
		started = true;
		running = ctx != nullptr;
	}
	qcv.notify_all();
	if (ctx) {
		while (!stop_requested) {
			uloop_run();
		}
	}
	// Tear down on the loop's own thread: agents remove nothing from the
	// bus here, closing the connection drops their objects at once.
	shutting_down = true;
	agents.clear();
	topo.reset();
	for (posted_task *p : posted) {
		uloop_timeout_cancel(&p->timer);
		delete p->fn;
		delete p;
	}
	posted.clear();
	uloop_fd_delete(&wake);
	if (ctx)
		ubus_free(ctx);
	ctx = nullptr;
	uloop_done();
	current = nullptr;
	{
		std::lock_guard<std::mutex> lock(qmu);
		running = false;
	}
	// Calls that raced with the shutdown still get their answer.
	drain_queue();
}

host::host(const std::string &socket_path) : impl_(new impl)
{
	impl_->self = this;
	impl_->path = socket_path;
	impl_->start = std::chrono::steady_clock::now();
	impl_->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	impl_->thread = std::thread([this] { impl_->thread_main(); });
	impl_->tid = impl_->thread.get_id();
	std::unique_lock<std::mutex> lock(impl_->qmu);
	impl_->qcv.wait(lock, [this] { return impl_->started; });
}

host::~host()
{
	stop();
	close(impl_->wake_fd);
	delete impl_;
}

void host::stop()
{
	impl_->stop_requested = true;
	if (impl_->thread.joinable()) {
		bool running;
		{
			std::lock_guard<std::mutex> lock(impl_->qmu);
			running = impl_->running;
		}
		if (running)
			run([] { uloop_end(); });
		impl_->thread.join();
	}
}

bool host::ok() const
{
	return impl_->ctx != nullptr && impl_->connected;
}

const std::string &host::socket_path() const
{
	return impl_->path;
}

bool host::on_host_thread() const
{
	return std::this_thread::get_id() == impl_->tid;
}

void host::run(const std::function<void()> &fn)
{
	if (on_host_thread()) {
		fn();
		return;
	}
	impl::task t{fn, false};
	{
		std::unique_lock<std::mutex> lock(impl_->qmu);
		if (!impl_->running) {
			lock.unlock();
			fn();
			return;
		}
		impl_->queue.push_back(&t);
	}
	uint64_t one = 1;
	if (write(impl_->wake_fd, &one, sizeof(one)) < 0) {
		// The counter cannot overflow in practice; the drain below
		// still finds the task when the loop wakes for anything else.
	}
	std::unique_lock<std::mutex> lock(impl_->qmu);
	impl_->qcv.wait(lock, [&] { return t.done; });
}

void host::post(std::function<void()> fn, int delay_ms)
{
	if (!on_host_thread()) {
		run([&] { post(std::move(fn), delay_ms); });
		return;
	}
	if (impl_->shutting_down)
		return;
	auto *p = new posted_task{};
	p->fn = new std::function<void()>(std::move(fn));
	p->owner = impl_;
	p->timer.cb = posted_task_cb;
	impl_->posted.push_back(p);
	uloop_timeout_set(&p->timer, delay_ms < 0 ? 0 : delay_ms);
}

agent &host::add_agent(const agent_config &cfg)
{
	agent *a = nullptr;
	run([&] {
		impl_->agents.push_back(std::unique_ptr<agent>(new agent(*this, cfg)));
		a = impl_->agents.back().get();
		a->reappear();
	});
	return *a;
}

class topology &host::add_topology(const std::string &tree_json)
{
	class topology *t = nullptr;
	run([&] {
		impl_->topo.reset(new class topology(*this));
		t = impl_->topo.get();
		if (!tree_json.empty())
			t->set_tree(tree_json);
		t->reappear();
	});
	return *t;
}

std::vector<agent *> host::agents()
{
	std::vector<agent *> out;
	run([&] {
		for (auto &a : impl_->agents)
			out.push_back(a.get());
	});
	return out;
}

agent *host::find_agent(const std::string &name_or_prefix)
{
	agent *found = nullptr;
	run([&] {
		for (auto &a : impl_->agents)
			if (a->name() == name_or_prefix || a->prefix() == name_or_prefix) {
				found = a.get();
				return;
			}
	});
	return found;
}

class topology *host::topology()
{
	class topology *t = nullptr;
	run([&] { t = impl_->topo.get(); });
	return t;
}

void host::set_mobile_stations(bool on)
{
	impl_->mobile = on;
}

void host::set_move_delay_ms(int ms)
{
	impl_->move_delay_ms = ms;
}

int host::move_delay_ms() const
{
	return impl_->move_delay_ms;
}

void host::on_command(std::function<void(agent &, const cmd_record &)> fn)
{
	run([&] { impl_->cmd_hook = std::move(fn); });
}

void host::on_disconnect(std::function<void(agent &, const disconnect_record &)> fn)
{
	run([&] { impl_->disconnect_hook = std::move(fn); });
}

void host::on_station(
	std::function<void(agent &, const mac_addr &, const std::string &, bool)> fn)
{
	run([&] { impl_->station_hook = std::move(fn); });
}

void host::send_event(const std::string &name, const std::string &json)
{
	run([&] {
		struct blob_buf b;
		memset(&b, 0, sizeof(b));
		blob_buf_init(&b, 0);
		if (!json.empty())
			blobmsg_add_json_from_string(&b, json.c_str());
		impl_->send_event(name, &b);
		blob_buf_free(&b);
	});
}

void host::impl::send_event(const std::string &name, struct blob_buf *b)
{
	if (!ctx || shutting_down)
		return;
	event_record r;
	r.name = name;
	char *text = blobmsg_format_json(b->head, true);
	r.json = text ? text : "{}";
	free(text);
	r.t = self->now();
	ubus_send_event(ctx, name.c_str(), b->head);
	jr.add(std::move(r));
}

class journal &host::journal()
{
	return impl_->jr;
}

double host::now() const
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - impl_->start)
		.count();
}

ubus_context *host::ctx()
{
	return impl_->ctx;
}

} // namespace sim
