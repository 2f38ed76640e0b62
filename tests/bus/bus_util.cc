#include "tests/bus/bus_util.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "bus/blobmsg_json.h"
#include "bus/uloop.h"

namespace bustest {

Broker::Broker() : path_(dir_.file("bus.sock")), thread_(busd_thread_start(path_.c_str()))
{
}

Broker::~Broker()
{
	stop();
}

void Broker::stop()
{
	busd_thread_stop(thread_);
	thread_ = nullptr;
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

#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <algorithm>
#include <cstring>

namespace bustest {

std::vector<uint8_t> hex(const std::string &text)
{
	std::vector<uint8_t> out;
	int hi = -1;
	for (char ch : text) {
		int v;
		if (ch >= '0' && ch <= '9')
			v = ch - '0';
		else if (ch >= 'a' && ch <= 'f')
			v = ch - 'a' + 10;
		else if (ch >= 'A' && ch <= 'F')
			v = ch - 'A' + 10;
		else
			continue;
		if (hi < 0) {
			hi = v;
		} else {
			out.push_back(uint8_t(hi << 4 | v));
			hi = -1;
		}
	}
	return out;
}

std::string to_hex(const std::vector<uint8_t> &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < bytes.size(); i++) {
		if (i && i % 4 == 0)
			s += ' ';
		s += digits[bytes[i] >> 4];
		s += digits[bytes[i] & 15];
	}
	return s;
}

static bool read_exact(int fd, uint8_t *p, size_t len, std::chrono::steady_clock::time_point end)
{
	while (len) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
				    end - std::chrono::steady_clock::now())
				    .count();
		if (left <= 0)
			return false;
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, int(left)) <= 0)
			continue;
		ssize_t n = recv(fd, p, len, MSG_DONTWAIT);
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			continue;
		if (n <= 0)
			return false;
		p += n;
		len -= size_t(n);
	}
	return true;
}

std::vector<uint8_t> read_frame(int fd, int timeout_ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	std::vector<uint8_t> m(12);
	if (!read_exact(fd, m.data(), 12, end))
		return {};
	uint32_t w;
	memcpy(&w, m.data() + 8, 4);
	size_t root = be32toh(w) & 0xffffff;
	if (root < 4)
		return {};
	m.resize(8 + root);
	if (!read_exact(fd, m.data() + 12, root - 4, end))
		return {};
	return m;
}

bool write_bytes(int fd, const std::vector<uint8_t> &bytes)
{
	size_t off = 0;
	while (off < bytes.size()) {
		ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		off += size_t(n);
	}
	return true;
}

static int connect_unix(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strncpy(sun.sun_path, path.c_str(), sizeof(sun.sun_path) - 1);
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

RawClient::RawClient(const std::string &socket) : fd_(connect_unix(socket))
{
	if (fd_ < 0)
		return;
	hello_ = read_frame(fd_);
	if (hello_.size() >= 8) {
		uint32_t w;
		memcpy(&w, hello_.data() + 4, 4);
		id_ = be32toh(w);
	}
}

RawClient::~RawClient()
{
	if (fd_ >= 0)
		close(fd_);
}

bool RawClient::closed_by_peer(int timeout_ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	while (std::chrono::steady_clock::now() < end) {
		struct pollfd pfd = {fd_, POLLIN, 0};
		if (poll(&pfd, 1, 50) <= 0)
			continue;
		uint8_t buf[4096];
		ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
			return true;
	}
	return false;
}

struct FakeBroker::State {
	std::mutex lock;
	std::condition_variable cond;
	std::vector<std::vector<uint8_t>> received;
	int listen_fd = -1;
	int client_fd = -1;
	int stop_fd = -1;
};

FakeBroker::FakeBroker(uint32_t client_id, Responder responder)
	: path_(dir_.file("fake.sock")), state_(std::make_shared<State>())
{
	std::shared_ptr<State> s = state_;
	s->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strncpy(sun.sun_path, path_.c_str(), sizeof(sun.sun_path) - 1);
	bind(s->listen_fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
	listen(s->listen_fd, 4);
	s->stop_fd = eventfd(0, EFD_CLOEXEC);
	thread_ = std::thread([s, client_id, responder] {
		struct pollfd pfd[2] = {{s->listen_fd, POLLIN, 0}, {s->stop_fd, POLLIN, 0}};
		if (poll(pfd, 2, -1) <= 0 || pfd[1].revents)
			return;
		int fd = accept(s->listen_fd, nullptr, nullptr);
		{
			std::lock_guard<std::mutex> g(s->lock);
			s->client_fd = fd;
		}
		uint8_t hello[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4};
		uint32_t id = htobe32(client_id);
		memcpy(hello + 4, &id, 4);
		write_bytes(fd, std::vector<uint8_t>(hello, hello + 12));
		for (;;) {
			struct pollfd p2[2] = {{fd, POLLIN, 0}, {s->stop_fd, POLLIN, 0}};
			if (poll(p2, 2, -1) <= 0 || p2[1].revents)
				return;
			std::vector<uint8_t> m = read_frame(fd, 5000);
			if (m.empty())
				return;
			std::vector<uint8_t> reply;
			if (responder)
				reply = responder(m);
			{
				std::lock_guard<std::mutex> g(s->lock);
				s->received.push_back(m);
			}
			s->cond.notify_all();
			if (!reply.empty())
				write_bytes(fd, reply);
		}
	});
}

FakeBroker::~FakeBroker()
{
	uint64_t one = 1;
	ssize_t r = write(state_->stop_fd, &one, sizeof(one));
	(void)r;
	thread_.join();
	if (state_->client_fd >= 0)
		close(state_->client_fd);
	close(state_->listen_fd);
	close(state_->stop_fd);
}

std::vector<std::vector<uint8_t>> FakeBroker::received()
{
	std::lock_guard<std::mutex> g(state_->lock);
	return state_->received;
}

bool FakeBroker::wait_received(size_t n, int timeout_ms)
{
	std::unique_lock<std::mutex> g(state_->lock);
	return state_->cond.wait_for(g, std::chrono::milliseconds(timeout_ms),
				     [this, n] { return state_->received.size() >= n; });
}

void FakeBroker::inject(const std::vector<uint8_t> &bytes)
{
	int fd;
	{
		std::lock_guard<std::mutex> g(state_->lock);
		fd = state_->client_fd;
	}
	if (fd >= 0)
		write_bytes(fd, bytes);
}

void FakeBroker::hang_up()
{
	std::lock_guard<std::mutex> g(state_->lock);
	if (state_->client_fd >= 0)
		shutdown(state_->client_fd, SHUT_RDWR);
}

} // namespace bustest

namespace bustest {

std::vector<uint8_t> frame(uint8_t type, uint16_t seq, uint32_t peer, const std::string &attrs)
{
	std::vector<uint8_t> body = hex(attrs);
	std::vector<uint8_t> m(12 + body.size());
	m[1] = type;
	uint16_t s = htobe16(seq);
	memcpy(m.data() + 2, &s, 2);
	uint32_t p = htobe32(peer);
	memcpy(m.data() + 4, &p, 4);
	uint32_t root = htobe32(uint32_t(body.size() + 4));
	memcpy(m.data() + 8, &root, 4);
	std::copy(body.begin(), body.end(), m.begin() + 12);
	return m;
}

uint8_t frame_type(const std::vector<uint8_t> &m)
{
	return m.size() >= 8 ? m[1] : 0xff;
}

uint16_t frame_seq(const std::vector<uint8_t> &m)
{
	uint16_t s = 0;
	if (m.size() >= 8)
		memcpy(&s, m.data() + 2, 2);
	return be16toh(s);
}

uint32_t frame_peer(const std::vector<uint8_t> &m)
{
	uint32_t p = 0;
	if (m.size() >= 8)
		memcpy(&p, m.data() + 4, 4);
	return be32toh(p);
}

std::string hex32(uint32_t v)
{
	char buf[9];
	snprintf(buf, sizeof(buf), "%08x", v);
	return buf;
}

static void record_event(struct ubus_context *, struct ubus_event_handler *ev, const char *type,
			 struct blob_attr *msg)
{
	auto *r = reinterpret_cast<EventRecorder *>(ev);
	char *s = blobmsg_format_json(msg, true);
	std::lock_guard<std::mutex> g(r->lock);
	r->seen.push_back(std::string(type) + " " + (s ? s : ""));
	free(s);
}

NamedObject::NamedObject(const char *name, const struct ubus_method *methods, int n_methods)
{
	type.name = name;
	type.methods = methods;
	type.n_methods = n_methods;
	obj.name = name;
	obj.type = &type;
	obj.methods = methods;
	obj.n_methods = n_methods;
}

EventRecorder::EventRecorder()
{
	ev.cb = record_event;
}

std::vector<std::string> EventRecorder::snapshot()
{
	std::lock_guard<std::mutex> g(lock);
	return seen;
}

void collect_json(struct ubus_request *req, int, struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);
	static_cast<std::vector<std::string> *>(req->priv)->push_back(s ? s : "");
	free(s);
}

} // namespace bustest
