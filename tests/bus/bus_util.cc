#include "tests/bus/bus_util.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "bus/uloop.h"

namespace bustest {

Broker::Broker() : path_(dir_.file("bus.sock")), thread_(busd_thread_start(path_.c_str()))
{
}

Broker::~Broker()
{
	busd_thread_stop(thread_);
}

struct WakeWatch {
	struct uloop_fd fd;
	Peer::State *s;
};

struct Peer::State {
	WakeWatch wake = {};
	std::mutex lock;
	std::condition_variable cond;
	std::deque<std::function<void(struct ubus_context *)>> tasks;
	bool started = false;
	bool quit = false;
	uint64_t done = 0;
	struct ubus_context *ctx = nullptr;
};


Peer::Peer(const std::string &socket) : state_(std::make_unique<State>())
{
	State *s = state_.get();
	s->wake.s = s;
	s->wake.fd.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	thread_ = std::thread([s, socket, this] {
		uloop_init_nosignals();
		s->ctx = ubus_connect(socket.c_str());
		if (s->ctx)
			ubus_add_uloop(s->ctx);
		s->wake.fd.cb = [](struct uloop_fd *u, unsigned int) {
			uint64_t v;
			ssize_t r = read(u->fd, &v, sizeof(v));
			(void)r;
			State *st = container_of(u, WakeWatch, fd)->s;
			for (;;) {
				std::function<void(struct ubus_context *)> fn;
				{
					std::lock_guard<std::mutex> g(st->lock);
					if (st->quit) {
						uloop_end();
						return;
					}
					if (st->tasks.empty())
						return;
					fn = std::move(st->tasks.front());
					st->tasks.pop_front();
				}
				fn(st->ctx);
				{
					std::lock_guard<std::mutex> g(st->lock);
					st->done++;
				}
				st->cond.notify_all();
			}
		};
		uloop_fd_add(&s->wake.fd, ULOOP_READ);
		{
			std::lock_guard<std::mutex> g(s->lock);
			connected_ = s->ctx != nullptr;
			id_ = s->ctx ? s->ctx->local_id : 0;
			s->started = true;
		}
		s->cond.notify_all();
		if (s->ctx) {
			// A lost connection must not end the helper's loop: only
			// the owner of the Peer does.
			s->ctx->connection_lost = [](struct ubus_context *) {};
			while (true) {
				uloop_run();
				std::lock_guard<std::mutex> g(s->lock);
				if (s->quit)
					break;
			}
		}
		uloop_fd_delete(&s->wake.fd);
		if (s->ctx)
			ubus_free(s->ctx);
		uloop_done();
	});
	std::unique_lock<std::mutex> g(s->lock);
	s->cond.wait(g, [s] { return s->started; });
}

Peer::~Peer()
{
	{
		std::lock_guard<std::mutex> g(state_->lock);
		state_->quit = true;
	}
	uint64_t one = 1;
	ssize_t r = write(state_->wake.fd.fd, &one, sizeof(one));
	(void)r;
	thread_.join();
	close(state_->wake.fd.fd);
}

void Peer::run(const std::function<void(struct ubus_context *)> &fn)
{
	State *s = state_.get();
	uint64_t target;
	{
		std::lock_guard<std::mutex> g(s->lock);
		s->tasks.push_back(fn);
		target = s->done + s->tasks.size();
	}
	uint64_t one = 1;
	ssize_t r = write(s->wake.fd.fd, &one, sizeof(one));
	(void)r;
	std::unique_lock<std::mutex> g(s->lock);
	s->cond.wait(g, [s, target] { return s->done >= target; });
}

} // namespace bustest
