#include <errno.h>
#include <poll.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "bus/ubus_internal.h"

namespace ubus_internal {

static int64_t now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static sync_req *find_request(ubus_context_impl *c, uint16_t seq, uint32_t peer)
{
	sync_req *r;
	list_for_each_entry(r, &c->requests, list)
	{
		if (r->req.seq == seq && r->req.peer == peer)
			return r;
	}
	return nullptr;
}

static void req_data(ubus_context_impl *c, sync_req *r, frame *f)
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

static void async_msg(ubus_context_impl *c, frame *f);

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

// Waits for r's STATUS; returns the status code.
static int complete_request(ubus_context_impl *c, sync_req *r, int timeout)
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

// The INVOKE message of a call, into c->b.
static bool put_invoke(ubus_context_impl *c, uint32_t obj, const char *method,
		       struct blob_attr *msg)
{
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, obj);
	blob_put_string(&c->b, UBUS_ATTR_METHOD, method);
	return put_members(&c->b, UBUS_ATTR_DATA, msg);
}

// ---- asynchronous requests
//
// Every reply to an asynchronous request is copied onto the request and
// handed over from the loop's top level only (stack_depth 0), so that its
// callbacks never run inside another call, handler or callback. A wait with
// ubus_complete_request moves the request onto the synchronous path.

static struct ubus_request *async_find(ubus_context_impl *c, uint16_t seq, uint32_t peer)
{
	struct ubus_request *r;
	list_for_each_entry(r, &c->async_reqs, list)
	{
		if (r->seq == seq && r->peer == peer)
			return r;
	}
	return nullptr;
}

static void async_free_held(struct ubus_request *r)
{
	while (r->held) {
		struct ubus_held_msg *m = r->held;
		r->held = m->next;
		free(m);
	}
}

// Takes the oldest held reply off `r`; the caller frees it.
static struct ubus_held_msg *async_take(struct ubus_request *r, frame *f)
{
	struct ubus_held_msg *m = r->held;
	r->held = m->next;
	frame_parse(f, reinterpret_cast<const uint8_t *>(m + 1), m->len);
	return m;
}

static void async_arm(ubus_context_impl *c)
{
	if (!c->async_timer.pending)
		uloop_timeout_set(&c->async_timer, 0);
}

// Ends `r` with `status`; the completion callback may release it.
static void async_end(struct ubus_request *r, int status)
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
static void async_flush(ubus_context_impl *c, struct ubus_request *r)
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

static void async_msg(ubus_context_impl *c, frame *f)
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

} // namespace ubus_internal

using namespace ubus_internal;

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
