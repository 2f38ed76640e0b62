#include "bus/ubus_internal.h"

namespace ubus_internal {

static int event_cb(struct ubus_context *ctx, struct ubus_object *obj,
		    struct ubus_request_data *, const char *method, struct blob_attr *msg)
{
	struct ubus_event_handler *ev = container_of(obj, struct ubus_event_handler, obj);
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return 0;
}

const struct ubus_method event_methods[] = {UBUS_METHOD_NOARG(nullptr, event_cb)};

} // namespace ubus_internal

using namespace ubus_internal;

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
