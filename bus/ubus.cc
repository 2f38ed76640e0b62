#include "bus/ubus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bus/ubus_internal.h"

namespace ubus_internal {

constexpr size_t rx_initial = 64 * 1024;
constexpr size_t rx_min_free = 16 * 1024;

bool queue_push(msg_queue *q, const uint8_t *p, size_t len)
{
	auto *m = static_cast<queued_msg *>(malloc(sizeof(queued_msg) + len));
	if (!m)
		return false;
	m->next = nullptr;
	m->len = len;
	memcpy(m->data, p, len);
	if (q->tail)
		q->tail->next = m;
	else
		q->head = m;
	q->tail = m;
	return true;
}

queued_msg *queue_pop(msg_queue *q)
{
	queued_msg *m = q->head;
	q->head = m->next;
	if (!q->head)
		q->tail = nullptr;
	return m;
}

static void queue_clear(msg_queue *q)
{
	while (!queue_empty(q))
		free(queue_pop(q));
}

static void free_retired(ubus_context_impl *c)
{
	for (size_t i = 0; i < c->n_retired; i++)
		free(c->retired[i]);
	c->n_retired = 0;
}

static bool retire(ubus_context_impl *c, uint8_t *buf)
{
	if (c->n_retired == c->retired_cap) {
		size_t cap = c->retired_cap ? 2 * c->retired_cap : 4;
		auto *nr = static_cast<uint8_t **>(realloc(c->retired, cap * sizeof(uint8_t *)));
		if (!nr)
			return false;
		c->retired = nr;
		c->retired_cap = cap;
	}
	c->retired[c->n_retired++] = buf;
	return true;
}

// Makes room for `len` more bytes in c->out; false when memory runs out.
static bool out_reserve(ubus_context_impl *c, size_t len)
{
	if (c->out_cap - c->out_len >= len)
		return true;
	size_t cap = c->out_cap ? c->out_cap : 4096;
	while (cap - c->out_len < len)
		cap *= 2;
	auto *nb = static_cast<uint8_t *>(realloc(c->out, cap));
	if (!nb)
		return false;
	c->out = nb;
	c->out_cap = cap;
	return true;
}

ssize_t rx_read(ubus_context_impl *c)
{
	size_t avail = c->rend - c->rstart;
	if (!c->rbusy && c->rstart) {
		if (avail)
			memmove(c->rbuf, c->rbuf + c->rstart, avail);
		c->rstart = 0;
		c->rend = avail;
	}
	size_t want = ubus_msg_rx_want(c->rbuf + c->rstart, avail, rx_min_free);
	if (c->rcap - c->rend < want) {
		size_t cap = c->rcap ? c->rcap : rx_initial;
		while (cap - avail < want)
			cap += rx_initial;
		if (!c->rbusy) {
			auto *nb = static_cast<uint8_t *>(realloc(c->rbuf, cap));
			if (!nb)
				return 0;
			c->rbuf = nb;
		} else {
			auto *nb = static_cast<uint8_t *>(malloc(cap));
			if (!nb)
				return 0;
			if (!retire(c, c->rbuf)) {
				free(nb);
				return 0;
			}
			if (avail)
				memcpy(nb, c->rbuf + c->rstart, avail);
			c->rbuf = nb;
			c->rstart = 0;
			c->rend = avail;
		}
		c->rcap = cap;
	}
	ssize_t n = ubus_recv_some(c->ctx.sock.fd, c->rbuf + c->rend, c->rcap - c->rend);
	if (n < 0) {
		c->eof = true;
		c->ctx.sock.eof = true;
		return -1;
	}
	c->rend += n;
	return n;
}

void frame_parse(frame *f, const uint8_t *p, size_t len)
{
	f->raw = p;
	f->raw_len = len;
	ubus_msg_parse(p, len, &f->type, &f->seq, &f->peer, f->tb);
}

enum rx_result { RX_NONE, RX_FRAME, RX_BAD };

// Takes the next complete message out of the receive buffer. A message
// whose framing is broken ends the connection: nothing after it can be
// trusted to start on a message boundary.
static rx_result rx_next(ubus_context_impl *c, frame *f)
{
	const uint8_t *p = c->rbuf + c->rstart;
	ssize_t total = ubus_msg_frame_len(p, c->rend - c->rstart);
	if (total < 0)
		return RX_BAD;
	if (total == 0)
		return RX_NONE;
	c->rstart += total;
	frame_parse(f, p, total);
	return RX_FRAME;
}

// Writes the whole of iov, waiting for room when the socket is full.
static int write_all(int fd, struct iovec *iov, int n)
{
	while (n > 0) {
		struct msghdr mh = {};
		mh.msg_iov = iov;
		mh.msg_iovlen = n;
		ssize_t w = sendmsg(fd, &mh, MSG_NOSIGNAL);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				struct pollfd pfd = {fd, POLLOUT, 0};
				if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
					return -1;
				continue;
			}
			return -1;
		}
		while (n > 0 && (size_t)w >= iov->iov_len) {
			w -= iov->iov_len;
			iov++;
			n--;
		}
		if (n > 0) {
			iov->iov_base = static_cast<char *>(iov->iov_base) + w;
			iov->iov_len -= w;
		}
	}
	return 0;
}

int send_msg(ubus_context_impl *c, uint8_t type, uint16_t seq, uint32_t peer,
	     const struct blob_attr *body, bool hold)
{
	uint8_t hdr[UBUS_MSGHDR_LEN];
	ubus_msghdr_fill(hdr, type, seq, peer);
	size_t blen = blob_raw_len(body);
	if (hold) {
		if (!out_reserve(c, sizeof(hdr) + blen))
			return -1;
		memcpy(c->out + c->out_len, hdr, sizeof(hdr));
		memcpy(c->out + c->out_len + sizeof(hdr), body, blen);
		c->out_len += sizeof(hdr) + blen;
		return 0;
	}
	if (c->eof)
		return -1;
	struct iovec iov[3];
	int n = 0;
	if (c->out_len)
		iov[n++] = {c->out, c->out_len};
	iov[n++] = {hdr, sizeof(hdr)};
	iov[n++] = {const_cast<blob_attr *>(body), blen};
	int ret = write_all(c->ctx.sock.fd, iov, n);
	c->out_len = 0;
	release_out(c);
	if (ret < 0) {
		c->eof = true;
		c->ctx.sock.eof = true;
	}
	return ret;
}

int flush_out(ubus_context_impl *c)
{
	if (!c->out_len || c->eof) {
		c->out_len = 0;
		return 0;
	}
	struct iovec iov = {c->out, c->out_len};
	int ret = write_all(c->ctx.sock.fd, &iov, 1);
	c->out_len = 0;
	release_large_buffers(c);
	if (ret < 0) {
		c->eof = true;
		c->ctx.sock.eof = true;
	}
	return ret;
}

void arm_pending(ubus_context_impl *c)
{
	if (c->ctx.sock.registered && !c->pending_timer.pending)
		uloop_timeout_set(&c->pending_timer, 0);
}

static void process_msg(ubus_context_impl *c, frame *f)
{
	// Only version 0 exists; anything else is not for us.
	if (f->raw[0] != 0)
		return;
	switch (f->type) {
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		process_req_msg(c, f);
		break;
	case UBUS_MSG_INVOKE:
	case UBUS_MSG_UNSUBSCRIBE:
	case UBUS_MSG_NOTIFY:
		if (c->stack_depth) {
			queue_push(&c->pending, f->raw, f->raw_len);
			arm_pending(c);
			break;
		}
		process_obj_msg(c, f);
		break;
	default:
		break;
	}
}

void process_buffered(ubus_context_impl *c, bool stop_on_end)
{
	for (;;) {
		if (stop_on_end && uloop_cancelling())
			break;
		frame f;
		rx_result r = rx_next(c, &f);
		if (r == RX_NONE)
			break;
		if (r == RX_BAD) {
			c->eof = true;
			c->ctx.sock.eof = true;
			break;
		}
		c->rbusy++;
		process_msg(c, &f);
		if (!--c->rbusy)
			free_retired(c);
	}
}

bool rx_has_frame(ubus_context_impl *c)
{
	size_t avail = c->rend - c->rstart;
	if (avail < UBUS_MSG_PREFIX_LEN)
		return false;
	return avail >= UBUS_MSGHDR_LEN + ubus_msg_root_len(c->rbuf + c->rstart);
}

void process_pending(ubus_context_impl *c)
{
	while (!c->stack_depth && !queue_empty(&c->pending)) {
		queued_msg *m = queue_pop(&c->pending);
		frame f;
		frame_parse(&f, m->data, m->len);
		process_obj_msg(c, &f);
		free(m);
		if (uloop_cancelling())
			break;
	}
}

static void pending_timer_cb(struct uloop_timeout *t)
{
	ubus_context_impl *c = container_of(t, ubus_context_impl, pending_timer);
	if (c->stack_depth)
		return;
	process_pending(c);
	if (!queue_empty(&c->pending) || uloop_cancelling()) {
		if (!queue_empty(&c->pending) || rx_has_frame(c))
			arm_pending(c);
		return;
	}
	process_buffered(c, true);
	if (rx_has_frame(c))
		arm_pending(c);
}

void report_lost(ubus_context_impl *c)
{
	if (c->lost_reported) {
		// The default reaction is repeated: an end requested while no
		// loop ran is lost, and a loop entered afterwards must not run
		// on without its bus.
		if (!c->ctx.connection_lost)
			uloop_end();
		return;
	}
	c->lost_reported = true;
	async_lost(c);
	if (c->ctx.connection_lost)
		c->ctx.connection_lost(&c->ctx);
	else
		uloop_end();
}

static void handle_data(struct uloop_fd *u, unsigned int)
{
	struct ubus_context *ctx = container_of(u, struct ubus_context, sock);
	ubus_context_impl *c = ctx->impl;

	if (!c->stack_depth)
		process_pending(c);
	if (uloop_cancelling()) {
		arm_pending(c);
		return;
	}
	if (!c->eof) {
		// A hang-up unregistered the socket: nothing will call us again, so
		// take everything the broker sent before it went away.
		do {
			if (rx_read(c) <= 0)
				break;
			process_buffered(c, true);
		} while (!u->registered && !c->eof);
	}
	process_buffered(c, true);
	if (rx_has_frame(c) || !queue_empty(&c->pending))
		arm_pending(c);
	if (c->eof) {
		if (u->registered)
			uloop_fd_delete(u);
		report_lost(c);
	}
}

} // namespace ubus_internal

using namespace ubus_internal;

struct ubus_context *ubus_connect(const char *path)
{
	if (!path)
		path = UBUS_DEFAULT_SOCKET;
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof(sun.sun_path))
		return nullptr;
	strcpy(sun.sun_path, path);

	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return nullptr;
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		close(fd);
		return nullptr;
	}

	// The broker greets every new client with HELLO, whose peer field is
	// the id it gave us.
	uint8_t hello[UBUS_MSG_PREFIX_LEN];
	size_t got = 0;
	while (got < sizeof(hello)) {
		ssize_t n = recv(fd, hello + got, sizeof(hello) - got, 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			close(fd);
			return nullptr;
		}
		got += n;
	}
	struct ubus_msghdr h;
	memcpy(&h, hello, sizeof(h));
	uint32_t root = ubus_msg_root_len(hello);
	if (h.version != 0 || h.type != UBUS_MSG_HELLO || !ubus_msg_root_ok(root)) {
		close(fd);
		return nullptr;
	}
	for (size_t left = root - sizeof(struct blob_attr); left > 0;) {
		uint8_t skip[256];
		ssize_t n = recv(fd, skip, left < sizeof(skip) ? left : sizeof(skip), 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			close(fd);
			return nullptr;
		}
		left -= n;
	}
	int fl = fcntl(fd, F_GETFL, 0);
	fcntl(fd, F_SETFL, fl | O_NONBLOCK);

	auto *c = static_cast<ubus_context_impl *>(calloc(1, sizeof(ubus_context_impl)));
	if (!c) {
		close(fd);
		return nullptr;
	}
	c->ctx.impl = c;
	c->ctx.sock.fd = fd;
	c->ctx.sock.cb = handle_data;
	c->ctx.local_id = be32toh(h.peer);
	INIT_LIST_HEAD(&c->requests);
	c->pending_timer.cb = pending_timer_cb;
	INIT_LIST_HEAD(&c->async_reqs);
	c->async_timer.cb = async_timer_cb;
	blob_buf_init(&c->b, 0);
	return &c->ctx;
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	ubus_context_impl *c = ctx->impl;
	uloop_timeout_cancel(&c->pending_timer);
	async_drop_all(c);
	// Also when a hang-up already unregistered it: an event fetched for
	// the socket in the current batch must not reach the freed context.
	uloop_fd_delete(&ctx->sock);
	close(ctx->sock.fd);
	blob_buf_free(&c->b);
	blob_buf_free(&c->args);
	free(c->rbuf);
	free_retired(c);
	free(c->retired);
	free(c->out);
	free(c->objects);
	queue_clear(&c->pending);
	free(c);
}

void ubus_add_uloop(struct ubus_context *ctx)
{
	uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}
