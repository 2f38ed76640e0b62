#include <cstdlib>
#include <cstring>

#include "bus/ubus_internal.h"

namespace ubus_internal {

// Index of the first slot whose id is not below `id`.
static size_t object_pos(const ubus_context_impl *c, uint32_t id)
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

static struct ubus_object *object_find(const ubus_context_impl *c, uint32_t id)
{
	size_t i = object_pos(c, id);
	return i < c->n_objects && c->objects[i].id == id ? c->objects[i].obj : nullptr;
}

// Enters `obj` under its id, replacing what was there; false when memory
// runs out.
static bool object_set(ubus_context_impl *c, struct ubus_object *obj)
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
static void object_unset(ubus_context_impl *c, struct ubus_object *obj)
{
	size_t i = object_pos(c, obj->id);
	if (i == c->n_objects || c->objects[i].id != obj->id || c->objects[i].obj != obj)
		return;
	c->n_objects--;
	memmove(&c->objects[i], &c->objects[i + 1], (c->n_objects - i) * sizeof(object_slot));
}

static void send_status(ubus_context_impl *c, uint32_t object, uint16_t seq, uint32_t peer,
			int ret, bool hold)
{
	blob_buf_init(&c->b, 0);
	blob_put_int32(&c->b, UBUS_ATTR_STATUS, (uint32_t)ret);
	blob_put_int32(&c->b, UBUS_ATTR_OBJID, object);
	send_msg(c, UBUS_MSG_STATUS, seq, peer, c->b.head, hold);
}

static const struct ubus_method *object_methods(struct ubus_object *obj, int *n)
{
	if (obj->methods || !obj->type) {
		*n = obj->n_methods;
		return obj->methods;
	}
	*n = obj->type->n_methods;
	return obj->type->methods;
}

static void process_invoke(ubus_context_impl *c, frame *f)
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

static bool push_signature(struct blob_buf *b, const struct ubus_method *methods, int n)
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

} // namespace ubus_internal

using namespace ubus_internal;

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
