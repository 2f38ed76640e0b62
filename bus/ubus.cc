#include "bus/ubus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bus/ubusmsg.h"

namespace {

// The router's own library differs from ours in two respects a caller
// meets: a synchronous wait ends only with its reply, its time-out or the
// end of the connection (uloop_end is not looked at), and every reply is
// handed over as soon as it is read, those of asynchronous requests too,
// nested inside whatever synchronous call is waiting. Built with
// AIRCOORD_BUS_ROUTER_MODE, the client behaves like it, so that the daemon
// can be run against such a library without a router.
#ifdef AIRCOORD_BUS_ROUTER_MODE
constexpr bool router_mode = true;
#else
constexpr bool router_mode = false;
#endif

constexpr size_t rx_initial = 64 * 1024;
constexpr size_t rx_min_free = 16 * 1024;

// One received message, pointing into the receive buffer or a queued copy.
struct frame {
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	const uint8_t *raw; // header onwards
	size_t raw_len;     // header + root
	struct blob_attr *tb[UBUS_ATTR_MAX];
};

// A message copied out of the receive buffer to be handled later, on a
// singly-linked FIFO; each one is a single malloc'd block.
struct queued_msg {
	struct queued_msg *next;
	size_t len;
	uint8_t data[];
};

struct msg_queue {
	struct queued_msg *head;
	struct queued_msg *tail;
};

bool queue_empty(const msg_queue *q)
{
	return !q->head;
}

// Appends a copy of the `len` bytes at `p`; false when memory runs out.
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

// Takes the oldest message off the queue; the caller frees it.
queued_msg *queue_pop(msg_queue *q)
{
	queued_msg *m = q->head;
	q->head = m->next;
	if (!q->head)
		q->tail = nullptr;
	return m;
}

void queue_clear(msg_queue *q)
{
	while (!queue_empty(q))
		free(queue_pop(q));
}

// The context's objects by id, sorted for a binary search: a client has
// few of them, and lookups (one per incoming call) far outnumber changes.
struct object_slot {
	uint32_t id;
	struct ubus_object *obj;
};

enum req_kind {
	REQ_INVOKE,
	REQ_LOOKUP,
	REQ_OBJECT, // add/remove object: collects OBJID and OBJTYPE
	REQ_ASYNC,  // a wait for the asynchronous request `user`
};

// A synchronous request waiting for its STATUS. Lives on the stack of the
// call that made it and sits on the context's request list meanwhile.
struct sync_req {
	struct ubus_request req;
	struct list_head list;
	req_kind kind;
	bool in_cb;
	// DATA that came while this request's callback ran, replayed in
	// arrival order once it returns.
	msg_queue held;
	ubus_lookup_handler_t lookup_cb;
	void *lookup_priv;
	struct ubus_request *user;
	uint32_t id;
	uint32_t type_id;
	bool have_id;
	bool have_type;
};

} // namespace

// Allocated zero-filled by ubus_connect, released by ubus_free; every
// buffer below is a plain malloc'd block owned by the context.
struct ubus_context_impl {
	struct ubus_context ctx;
	uint16_t request_seq;
	// Synchronous calls and object handlers in progress; while non-zero,
	// incoming invocations are queued.
	int stack_depth;
	bool eof;
	bool lost_reported;

	uint8_t *rbuf;
	size_t rcap;
	size_t rstart;
	size_t rend;
	// Messages handed to handlers that still point into rbuf: the buffer
	// must not move under them, so a read that needs room then switches
	// to a new buffer and retires the old one until they are done.
	int rbusy;
	uint8_t **retired;
	size_t n_retired;
	size_t retired_cap;

	struct blob_buf b;
	struct blob_buf args;
	// Replies of the handler being run, written together with its STATUS
	// (or with the next message that has to go out first).
	uint8_t *out;
	size_t out_len;
	size_t out_cap;
	int cork;

	struct list_head requests;
	object_slot *objects;
	size_t n_objects;
	size_t objects_cap;
	msg_queue pending;
	struct uloop_timeout pending_timer;
	// Asynchronous requests in flight (struct ubus_request.list), and the
	// timer that hands them what they hold once the loop is back at its
	// top level.
	struct list_head async_reqs;
	struct uloop_timeout async_timer;
};

// A reply held for an asynchronous request; the message follows it.
struct ubus_held_msg {
	struct ubus_held_msg *next;
	size_t len;
};

namespace {

int64_t now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void free_retired(ubus_context_impl *c)
{
	for (size_t i = 0; i < c->n_retired; i++)
		free(c->retired[i]);
	c->n_retired = 0;
}

bool retire(ubus_context_impl *c, uint8_t *buf)
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
bool out_reserve(ubus_context_impl *c, size_t len)
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

// Index of the first slot whose id is not below `id`.
size_t object_pos(const ubus_context_impl *c, uint32_t id)
{
	size_t lo = 0, hi = c->n_objects;
	while (lo < hi) {
		size_t mid = (lo + hi) / 2;
		if (c->objects[mid].id < id)
			lo = mid + 1;
		else
			hi = mid;
	}
	return lo;
}

struct ubus_object *object_find(const ubus_context_impl *c, uint32_t id)
{
	size_t i = object_pos(c, id);
	return i < c->n_objects && c->objects[i].id == id ? c->objects[i].obj : nullptr;
}

// Enters `obj` under its id, replacing what was there; false when memory
// runs out.
bool object_set(ubus_context_impl *c, struct ubus_object *obj)
{
	size_t i = object_pos(c, obj->id);
	if (i < c->n_objects && c->objects[i].id == obj->id) {
		c->objects[i].obj = obj;
		return true;
	}
	if (c->n_objects == c->objects_cap) {
		size_t cap = c->objects_cap ? 2 * c->objects_cap : 8;
		auto *no = static_cast<object_slot *>(realloc(c->objects, cap * sizeof(object_slot)));
		if (!no)
			return false;
		c->objects = no;
		c->objects_cap = cap;
	}
	memmove(&c->objects[i + 1], &c->objects[i], (c->n_objects - i) * sizeof(object_slot));
	c->objects[i] = {obj->id, obj};
	c->n_objects++;
	return true;
}

// Forgets `obj` if it is the one entered under its id.
void object_unset(ubus_context_impl *c, struct ubus_object *obj)
{
	size_t i = object_pos(c, obj->id);
	if (i == c->n_objects || c->objects[i].id != obj->id || c->objects[i].obj != obj)
		return;
	c->n_objects--;
	memmove(&c->objects[i], &c->objects[i + 1], (c->n_objects - i) * sizeof(object_slot));
}

// Reads once from the socket. Returns > 0 for bytes read, 0 when nothing
// was there, -1 on end of file or error (c->eof is set).
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
rx_result rx_next(ubus_context_impl *c, frame *f)
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
int write_all(int fd, struct iovec *iov, int n)
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

void report_lost(ubus_context_impl *c);
void async_lost(ubus_context_impl *c);

// Buffers are kept between messages, up to this size: one large reply
// must not hold its memory for the rest of the process.
constexpr size_t KEEP_BUFFER_MAX = 16384;

// Gives back an emptied output buffer that a large reply grew.
void release_out(ubus_context_impl *c)
{
	if (!c->out_len && c->out_cap > KEEP_BUFFER_MAX) {
		free(c->out);
		c->out = nullptr;
		c->out_cap = 0;
	}
}

void release_large_buffers(ubus_context_impl *c)
{
	release_out(c);
	if (static_cast<size_t>(c->b.buflen) > KEEP_BUFFER_MAX)
		blob_buf_free(&c->b);
}

// Sends one message whose body is the root `body`. Replies held back by a
// running handler go out first, in the same write.
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

sync_req *find_request(ubus_context_impl *c, uint16_t seq, uint32_t peer)
{
	sync_req *r;
	list_for_each_entry(r, &c->requests, list)
	{
		if (r->req.seq == seq && r->req.peer == peer)
			return r;
	}
	return nullptr;
}

void req_data(ubus_context_impl *c, sync_req *r, frame *f)
{
	switch (r->kind) {
	case REQ_INVOKE:
		if (f->tb[UBUS_ATTR_DATA] && r->req.data_cb)
			r->req.data_cb(&r->req, UBUS_MSG_DATA, f->tb[UBUS_ATTR_DATA]);
		break;
	case REQ_LOOKUP: {
		struct blob_attr **tb = f->tb;
		if (!tb[UBUS_ATTR_OBJID])
			break;
		r->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
		r->have_id = true;
		if (!r->lookup_cb || !tb[UBUS_ATTR_OBJPATH] || !tb[UBUS_ATTR_OBJTYPE])
			break;
		struct ubus_object_data od = {};
		od.id = r->id;
		od.type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
		od.path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
		od.signature = tb[UBUS_ATTR_SIGNATURE];
		r->lookup_cb(&c->ctx, &od, r->lookup_priv);
		break;
	}
	case REQ_ASYNC:
		if (f->tb[UBUS_ATTR_DATA] && r->user->data_cb && !r->user->cancelled)
			r->user->data_cb(r->user, UBUS_MSG_DATA, f->tb[UBUS_ATTR_DATA]);
		break;
	case REQ_OBJECT:
		if (f->tb[UBUS_ATTR_OBJID]) {
			r->id = blob_get_u32(f->tb[UBUS_ATTR_OBJID]);
			r->have_id = true;
		}
		if (f->tb[UBUS_ATTR_OBJTYPE]) {
			r->type_id = blob_get_u32(f->tb[UBUS_ATTR_OBJTYPE]);
			r->have_type = true;
		}
		break;
	}
}

void async_msg(ubus_context_impl *c, frame *f);

void process_req_msg(ubus_context_impl *c, frame *f)
{
	sync_req *r = find_request(c, f->seq, f->peer);
	if (!r) {
		async_msg(c, f);
		return;
	}
	if (f->type == UBUS_MSG_STATUS) {
		if (r->req.status_msg)
			return;
		r->req.status_msg = true;
		r->req.status_code = f->tb[UBUS_ATTR_STATUS]
					     ? blob_get_int32(f->tb[UBUS_ATTR_STATUS])
					     : UBUS_STATUS_INVALID_ARGUMENT;
		return;
	}
	if (r->req.status_msg)
		return;
	if (r->in_cb) {
		queue_push(&r->held, f->raw, f->raw_len);
		return;
	}
	r->in_cb = true;
	req_data(c, r, f);
	while (!queue_empty(&r->held)) {
		queued_msg *m = queue_pop(&r->held);
		frame hf;
		frame_parse(&hf, m->data, m->len);
		req_data(c, r, &hf);
		free(m);
	}
	r->in_cb = false;
}

void send_status(ubus_context_impl *c, uint32_t object, uint16_t seq, uint32_t peer, int ret,
		 bool hold)
{
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_STATUS, (uint32_t)ret);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, object);
	send_msg(c, UBUS_MSG_STATUS, seq, peer, c->b.head, hold);
}

const struct ubus_method *object_methods(struct ubus_object *obj, int *n)
{
	if (obj->methods || !obj->type) {
		*n = obj->n_methods;
		return obj->methods;
	}
	*n = obj->type->n_methods;
	return obj->type->methods;
}

void process_invoke(ubus_context_impl *c, frame *f)
{
	struct blob_attr **tb = f->tb;
	struct ubus_request_data req = {};
	req.peer = f->peer;
	req.seq = f->seq;
	req.object = tb[UBUS_ATTR_OBJID] ? blob_get_u32(tb[UBUS_ATTR_OBJID]) : 0;
	bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);
	int ret;

	struct ubus_object *obj = object_find(c, req.object);
	const struct ubus_method *m = nullptr;
	if (!obj) {
		ret = UBUS_STATUS_NOT_FOUND;
	} else if (!tb[UBUS_ATTR_METHOD]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
	} else {
		const char *name = blob_get_string(tb[UBUS_ATTR_METHOD]);
		int n;
		const struct ubus_method *methods = object_methods(obj, &n);
		for (int i = 0; i < n; i++) {
			if (!methods[i].name || !strcmp(methods[i].name, name)) {
				m = &methods[i];
				break;
			}
		}
		if (!m)
			ret = UBUS_STATUS_METHOD_NOT_FOUND;
		else if (!tb[UBUS_ATTR_DATA])
			ret = UBUS_STATUS_INVALID_ARGUMENT;
	}
	if (m && tb[UBUS_ATTR_DATA]) {
		c->cork++;
		const char *name = blob_get_string(tb[UBUS_ATTR_METHOD]);
		ret = m->handler ? m->handler(&c->ctx, obj, &req, name, tb[UBUS_ATTR_DATA])
				 : UBUS_STATUS_METHOD_NOT_FOUND;
		c->cork--;
		if (req.deferred || no_reply) {
			if (!c->cork)
				flush_out(c);
			return;
		}
	}
	// Nobody can receive a status addressed to peer 0 (the broker's own
	// event deliveries): the broker would only drop it.
	if (!req.peer) {
		if (!c->cork)
			flush_out(c);
		return;
	}
	send_status(c, req.object, req.seq, req.peer, ret, false);
}

void process_obj_msg(ubus_context_impl *c, frame *f)
{
	c->stack_depth++;
	if (f->type == UBUS_MSG_INVOKE)
		process_invoke(c, f);
	c->stack_depth--;
}

void arm_pending(ubus_context_impl *c)
{
	if (c->ctx.sock.registered && !c->pending_timer.pending)
		uloop_timeout_set(&c->pending_timer, 0);
}

void process_msg(ubus_context_impl *c, frame *f)
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

// Handles every complete message in the receive buffer; with `stop_on_end`
// it stops once the running loop is being ended.
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

void pending_timer_cb(struct uloop_timeout *t)
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

void handle_data(struct uloop_fd *u, unsigned int)
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

// Waits for r's STATUS; returns the status code.
int complete_request(ubus_context_impl *c, sync_req *r, int timeout)
{
	int64_t end = timeout ? now_ms() + timeout : 0;
	unsigned int ends = uloop_end_count();
	int status = UBUS_STATUS_OK;

	c->stack_depth++;
	for (;;) {
		process_buffered(c, false);
		if (r->req.status_msg) {
			status = r->req.status_code;
			break;
		}
		if (c->eof) {
			status = UBUS_STATUS_CONNECTION_FAILED;
			break;
		}
		// The loop was told to end meanwhile (a stop signal's handler):
		// the caller is on its way out and must not wait for the reply.
		if (!router_mode && uloop_end_count() != ends) {
			status = UBUS_STATUS_TIMEOUT;
			break;
		}
		int wait = -1;
		if (timeout) {
			int64_t left = end - now_ms();
			if (left <= 0) {
				status = UBUS_STATUS_TIMEOUT;
				break;
			}
			wait = left > INT32_MAX ? INT32_MAX : (int)left;
		}
		struct pollfd pfd = {c->ctx.sock.fd, POLLIN, 0};
		int n = poll(&pfd, 1, wait);
		if (n < 0 && errno != EINTR) {
			status = UBUS_STATUS_CONNECTION_FAILED;
			break;
		}
		if (n > 0)
			rx_read(c);
	}
	list_del(&r->list);
	c->stack_depth--;

	if (c->eof)
		report_lost(c);
	if (!c->stack_depth) {
		if (c->ctx.sock.registered) {
			if (!queue_empty(&c->pending) || rx_has_frame(c))
				arm_pending(c);
		} else {
			process_pending(c);
		}
	}
	return status;
}

// Sends a request and waits for its completion.
int sync_request(ubus_context_impl *c, sync_req *r, uint8_t type, uint32_t peer, int timeout)
{
	if (c->eof)
		return UBUS_STATUS_CONNECTION_FAILED;
	if (blob_pad_len(c->b.head) > UBUS_MAX_MSGLEN)
		return UBUS_STATUS_INVALID_ARGUMENT;
	r->req.seq = ++c->request_seq;
	r->req.peer = peer;
	list_add(&r->list, &c->requests);
	if (send_msg(c, type, r->req.seq, peer, c->b.head, false) < 0) {
		list_del(&r->list);
		report_lost(c);
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	return complete_request(c, r, timeout);
}

int event_cb(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *,
	     const char *method, struct blob_attr *msg)
{
	struct ubus_event_handler *ev = container_of(obj, struct ubus_event_handler, obj);
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return 0;
}

const struct ubus_method event_methods[] = {UBUS_METHOD_NOARG(nullptr, event_cb)};

// Appends attribute `id` holding the members of the root `msg` (none when
// msg is null).
bool put_members(struct blob_buf *b, int id, struct blob_attr *msg)
{
	return blob_put(b, id, msg ? blob_data(msg) : nullptr, msg ? blob_len(msg) : 0) != nullptr;
}

// The INVOKE message of a call, into c->b.
bool put_invoke(ubus_context_impl *c, uint32_t obj, const char *method, struct blob_attr *msg)
{
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, obj);
	blob_put_string(&c->b, UBUS_ATTR_METHOD, method);
	return put_members(&c->b, UBUS_ATTR_DATA, msg);
}

bool push_signature(struct blob_buf *b, const struct ubus_method *methods, int n)
{
	void *sig = blob_nest_start(b, UBUS_ATTR_SIGNATURE);
	if (!sig)
		return false;
	for (int i = 0; i < n; i++) {
		const struct ubus_method *m = &methods[i];
		// A catch-all entry has no name to advertise.
		if (!m->name)
			continue;
		void *t = blobmsg_open_table(b, m->name);
		for (int j = 0; j < m->n_policy && m->policy; j++) {
			if (!m->policy[j].name || (m->mask && !(m->mask & (1UL << j))))
				continue;
			blobmsg_add_u32(b, m->policy[j].name, m->policy[j].type);
		}
		blobmsg_close_table(b, t);
	}
	blob_nest_end(b, sig);
	return true;
}

// ---- asynchronous requests
//
// Every reply to an asynchronous request is copied onto the request and
// handed over from the loop's top level only (stack_depth 0), so that its
// callbacks never run inside another call, handler or callback. A wait with
// ubus_complete_request moves the request onto the synchronous path.

struct ubus_request *async_find(ubus_context_impl *c, uint16_t seq, uint32_t peer)
{
	struct ubus_request *r;
	list_for_each_entry(r, &c->async_reqs, list)
	{
		if (r->seq == seq && r->peer == peer)
			return r;
	}
	return nullptr;
}

void async_free_held(struct ubus_request *r)
{
	while (r->held) {
		struct ubus_held_msg *m = r->held;
		r->held = m->next;
		free(m);
	}
}

// Takes the oldest held reply off `r`; the caller frees it.
struct ubus_held_msg *async_take(struct ubus_request *r, frame *f)
{
	struct ubus_held_msg *m = r->held;
	r->held = m->next;
	frame_parse(f, reinterpret_cast<const uint8_t *>(m + 1), m->len);
	return m;
}

void async_arm(ubus_context_impl *c)
{
	if (!c->async_timer.pending)
		uloop_timeout_set(&c->async_timer, 0);
}

// Ends `r` with `status`; the completion callback may release it.
void async_end(struct ubus_request *r, int status)
{
	list_del(&r->list);
	async_free_held(r);
	r->status_code = status;
	r->status_msg = true;
	if (r->complete_cb)
		r->complete_cb(r, status);
}

// Hands what `r` holds over, oldest first, as long as callbacks may run,
// never into a callback of `r` that is running already.
void async_flush(ubus_context_impl *c, struct ubus_request *r)
{
	if (r->in_cb)
		return;
	r->in_cb = true;
	while (r->held && r->complete_async && (router_mode || !c->stack_depth)) {
		frame f;
		struct ubus_held_msg *m = async_take(r, &f);
		if (f.type == UBUS_MSG_STATUS) {
			int status = f.tb[UBUS_ATTR_STATUS] ? blob_get_int32(f.tb[UBUS_ATTR_STATUS])
							    : UBUS_STATUS_INVALID_ARGUMENT;
			free(m);
			r->in_cb = false;
			async_end(r, status);
			return;
		}
		if (f.tb[UBUS_ATTR_DATA] && r->data_cb)
			r->data_cb(r, UBUS_MSG_DATA, f.tb[UBUS_ATTR_DATA]);
		free(m);
		// Aborted by its callback.
		if (!list_is_linked(&r->list))
			break;
	}
	r->in_cb = false;
}

void async_msg(ubus_context_impl *c, frame *f)
{
	struct ubus_request *r = async_find(c, f->seq, f->peer);
	if (!r)
		return;
	auto *m = static_cast<struct ubus_held_msg *>(
		malloc(sizeof(struct ubus_held_msg) + f->raw_len));
	if (!m)
		return;
	m->next = nullptr;
	m->len = f->raw_len;
	memcpy(m + 1, f->raw, f->raw_len);
	struct ubus_held_msg **tail = &r->held;
	while (*tail)
		tail = &(*tail)->next;
	*tail = m;
	if (!r->complete_async)
		return;
	if (c->stack_depth && !router_mode)
		async_arm(c);
	else
		async_flush(c, r);
}

void async_timer_cb(struct uloop_timeout *t)
{
	ubus_context_impl *c = container_of(t, ubus_context_impl, async_timer);
	// One request at a time, looked for afresh: callbacks may end or
	// release any request.
	for (;;) {
		struct ubus_request *r, *next = nullptr;
		list_for_each_entry(r, &c->async_reqs, list)
		{
			if (r->complete_async && !r->in_cb && (r->held || c->eof)) {
				next = r;
				break;
			}
		}
		if (!next)
			return;
		if (uloop_cancelling()) {
			async_arm(c);
			return;
		}
		if (next->held)
			async_flush(c, next);
		else
			async_end(next, UBUS_STATUS_CONNECTION_FAILED);
	}
}

void async_lost(ubus_context_impl *c)
{
	if (!router_mode) {
		if (!list_empty(&c->async_reqs))
			async_arm(c);
		return;
	}
	// The router's library ends them at once, as timed out. One at a
	// time, looked for afresh: a callback may end or release any request.
	for (;;) {
		struct ubus_request *r, *next = nullptr;
		list_for_each_entry(r, &c->async_reqs, list)
		{
			if (r->complete_async && !r->in_cb) {
				next = r;
				break;
			}
		}
		if (!next)
			return;
		async_end(next, UBUS_STATUS_TIMEOUT);
	}
}

void async_drop_all(ubus_context_impl *c)
{
	struct ubus_request *r, *tmp;
	list_for_each_entry_safe(r, tmp, &c->async_reqs, list)
	{
		list_del(&r->list);
		async_free_held(r);
	}
	uloop_timeout_cancel(&c->async_timer);
}

} // namespace

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

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
	ubus_context_impl *c = ctx->impl;
	sync_req r = {};
	r.kind = REQ_LOOKUP;
	r.lookup_cb = cb;
	r.lookup_priv = priv;
	blob_buf_init(&c->b, 0);
	if (path)
		blob_put_string(&c->b, UBUS_ATTR_OBJPATH, path);
	return sync_request(c, &r, UBUS_MSG_LOOKUP, 0, 0);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	ubus_context_impl *c = ctx->impl;
	sync_req r = {};
	r.kind = REQ_LOOKUP;
	blob_buf_init(&c->b, 0);
	if (path)
		blob_put_string(&c->b, UBUS_ATTR_OBJPATH, path);
	int ret = sync_request(c, &r, UBUS_MSG_LOOKUP, 0, 0);
	if (ret)
		return ret;
	// A path that exists without a type is answered with no object at
	// all: there is no id to hand out.
	if (!r.have_id)
		return UBUS_STATUS_NOT_FOUND;
	*id = r.id;
	return UBUS_STATUS_OK;
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
		   struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout, int fd)
{
	ubus_context_impl *c = ctx->impl;
	if (fd >= 0)
		return UBUS_STATUS_NOT_SUPPORTED;
	if (!method)
		return UBUS_STATUS_INVALID_ARGUMENT;
	sync_req r = {};
	r.kind = REQ_INVOKE;
	r.req.data_cb = cb;
	r.req.priv = priv;
	if (!put_invoke(c, obj, method, msg))
		return UBUS_STATUS_INVALID_ARGUMENT;
	return sync_request(c, &r, UBUS_MSG_INVOKE, obj, timeout);
}

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
			 struct blob_attr *msg, struct ubus_request *req, int fd)
{
	ubus_context_impl *c = ctx->impl;
	// Zeroed first: a request that could not be sent is not in flight.
	memset(req, 0, sizeof(*req));
	if (fd >= 0)
		return UBUS_STATUS_NOT_SUPPORTED;
	if (!method || !put_invoke(c, obj, method, msg) ||
	    blob_pad_len(c->b.head) > UBUS_MAX_MSGLEN)
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (c->eof)
		return UBUS_STATUS_CONNECTION_FAILED;
	req->seq = ++c->request_seq;
	req->peer = obj;
	if (send_msg(c, UBUS_MSG_INVOKE, req->seq, obj, c->b.head, false) < 0) {
		report_lost(c);
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	list_add_tail(&req->list, &c->async_reqs);
	return UBUS_STATUS_OK;
}

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
	ubus_context_impl *c = ctx->impl;
	req->complete_async = true;
	if (list_is_linked(&req->list) && (req->held || c->eof))
		async_arm(c);
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	ubus_context_impl *c = ctx->impl;
	if (!list_is_linked(&req->list))
		return req->status_msg ? req->status_code : UBUS_STATUS_INVALID_ARGUMENT;
	sync_req w = {};
	w.kind = REQ_ASYNC;
	w.user = req;
	w.req.seq = req->seq;
	w.req.peer = req->peer;
	list_del(&req->list);
	list_add(&w.list, &c->requests);
	// What came before the wait goes the way of what comes during it.
	c->stack_depth++;
	while (req->held) {
		frame f;
		struct ubus_held_msg *m = async_take(req, &f);
		process_req_msg(c, &f);
		free(m);
	}
	c->stack_depth--;
	int ret = complete_request(c, &w, timeout);
	req->status_code = ret;
	req->status_msg = true;
	if (req->complete_cb && !req->cancelled)
		req->complete_cb(req, ret);
	return ret;
}

void ubus_abort_request(struct ubus_context *, struct ubus_request *req)
{
	req->cancelled = true;
	if (list_is_linked(&req->list))
		list_del(&req->list);
	async_free_held(req);
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
	ubus_context_impl *c = ctx->impl;
	if (!id)
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_buf_init(&c->args, 0);
	blobmsg_add_string(&c->args, "id", id);
	if (blobmsg_add_field(&c->args, BLOBMSG_TYPE_TABLE, "data",
			      data ? blob_data(data) : nullptr, data ? blob_len(data) : 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	sync_req r = {};
	r.kind = REQ_INVOKE;
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	blob_put_string(&c->b, UBUS_ATTR_METHOD, "send");
	if (!blob_put(&c->b, UBUS_ATTR_DATA, blob_data(c->args.head), blob_len(c->args.head)))
		return UBUS_STATUS_INVALID_ARGUMENT;
	return sync_request(c, &r, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT, 0);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	ubus_context_impl *c = ctx->impl;
	if (obj->id && object_find(c, obj->id))
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_buf_init(&c->b, 0);
	if (obj->name) {
		blob_put_string(&c->b, UBUS_ATTR_OBJPATH, obj->name);
		if (obj->type && obj->type->id) {
			blob_put_int32(&c->b, UBUS_ATTR_OBJTYPE, obj->type->id);
		} else {
			int n;
			const struct ubus_method *m = object_methods(obj, &n);
			if (obj->type && obj->type->methods) {
				m = obj->type->methods;
				n = obj->type->n_methods;
			}
			if (!push_signature(&c->b, m, n))
				return UBUS_STATUS_INVALID_ARGUMENT;
		}
	}
	sync_req r = {};
	r.kind = REQ_OBJECT;
	int ret = sync_request(c, &r, UBUS_MSG_ADD_OBJECT, 0, 0);
	if (ret)
		return ret;
	if (!r.have_id)
		return UBUS_STATUS_NO_DATA;
	obj->id = r.id;
	if (r.have_type && obj->type)
		obj->type->id = r.type_id;
	if (!object_set(c, obj)) {
		// Unknown to us, the object could never be called: take it off
		// the bus again.
		ubus_remove_object(ctx, obj);
		return UBUS_STATUS_NO_MEMORY;
	}
	return UBUS_STATUS_OK;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	ubus_context_impl *c = ctx->impl;
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, obj->id);
	sync_req r = {};
	r.kind = REQ_OBJECT;
	int ret = sync_request(c, &r, UBUS_MSG_REMOVE_OBJECT, 0, 0);
	if (ret)
		return ret;
	if (!r.have_id)
		return UBUS_STATUS_NO_DATA;
	object_unset(c, obj);
	obj->id = 0;
	if (r.have_type && obj->type)
		obj->type->id = 0;
	return UBUS_STATUS_OK;
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern)
{
	ubus_context_impl *c = ctx->impl;
	struct ubus_object *obj = &ev->obj;
	if (!pattern)
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (!obj->id) {
		if (!obj->methods) {
			obj->methods = event_methods;
			obj->n_methods = 1;
		}
		int ret = ubus_add_object(ctx, obj);
		if (ret)
			return ret;
	}
	blob_buf_init(&c->args, 0);
	blobmsg_add_u32(&c->args, "object", obj->id);
	blobmsg_add_string(&c->args, "pattern", pattern);
	sync_req r = {};
	r.kind = REQ_INVOKE;
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	blob_put_string(&c->b, UBUS_ATTR_METHOD, "register");
	blob_put(&c->b, UBUS_ATTR_DATA, blob_data(c->args.head), blob_len(c->args.head));
	return sync_request(c, &r, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT, 0);
}

int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev)
{
	return ubus_remove_object(ctx, &ev->obj);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
		    struct blob_attr *msg)
{
	ubus_context_impl *c = ctx->impl;
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, req->object);
	if (!put_members(&c->b, UBUS_ATTR_DATA, msg))
		return UBUS_STATUS_INVALID_ARGUMENT;
	// The broker drops the connection of whoever sends more than it takes;
	// refusing the reply keeps us on the bus.
	if (blob_pad_len(c->b.head) > UBUS_MAX_MSGLEN)
		return UBUS_STATUS_INVALID_ARGUMENT;
	int ret = send_msg(c, UBUS_MSG_DATA, req->seq, req->peer, c->b.head, c->cork > 0);
	// The reply is on its way or copied out: its buffer is free.
	release_large_buffers(c);
	return ret < 0 ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_OK;
}

void ubus_defer_request(struct ubus_context *, struct ubus_request_data *req,
			struct ubus_request_data *new_req)
{
	*new_req = *req;
	req->deferred = true;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req,
				    int ret)
{
	ubus_context_impl *c = ctx->impl;
	send_status(c, req->object, req->seq, req->peer, ret, c->cork > 0);
}
