#include <algorithm>
#include <cstring>

#include "bus/busd_internal.h"

namespace busd_internal {

static void handle_ping(busd_client *cl, const uint8_t *raw, size_t len, uint16_t seq,
			uint32_t peer)
{
	client_send(cl, UBUS_MSG_DATA, seq, peer, raw + UBUS_MSGHDR_LEN, len - UBUS_MSGHDR_LEN);
	send_status(cl, seq, peer, UBUS_STATUS_OK);
}

static int handle_system_invoke(busd_client *cl, uint32_t id, const char *method,
				struct blob_attr *data, uint16_t seq, uint32_t peer)
{
	switch (id) {
	case UBUS_SYSTEM_OBJECT_EVENT:
		if (!strcmp(method, "register"))
			return data ? event_register(cl, data) : UBUS_STATUS_INVALID_ARGUMENT;
		if (!strcmp(method, "send"))
			return data ? event_send(cl, data) : UBUS_STATUS_INVALID_ARGUMENT;
		return UBUS_STATUS_INVALID_COMMAND;
	case UBUS_SYSTEM_OBJECT_ACL:
		if (strcmp(method, "query"))
			return UBUS_STATUS_INVALID_COMMAND;
		{
			// No access lists are loaded: an empty list at sequence 0.
			struct blob_buf *b = &cl->d->b;
			blob_buf_init(b, 0);
			blobmsg_add_u32(b, "seq", 0);
			void *a = blobmsg_open_array(b, "acl");
			blobmsg_close_array(b, a);
			std::vector<uint8_t> &v = cl->d->scratch;
			v.clear();
			put_u32_attr(v, UBUS_ATTR_OBJID, id);
			put_attr(v, UBUS_ATTR_DATA, blob_data(b->head), blob_len(b->head));
			client_send_attrs(cl, UBUS_MSG_DATA, seq, peer, v);
			return UBUS_STATUS_OK;
		}
	case UBUS_SYSTEM_OBJECT_MONITOR: {
		// Only root watches everyone's traffic.
		if (cl->uid != 0 || cl->gid != 0)
			return UBUS_STATUS_PERMISSION_DENIED;
		auto &mons = cl->d->monitors;
		if (!strcmp(method, "add")) {
			if (!cl->monitor) {
				cl->monitor = true;
				mons.push_back(cl);
			}
			return UBUS_STATUS_OK;
		}
		if (!strcmp(method, "remove")) {
			cl->monitor = false;
			mons.erase(std::remove(mons.begin(), mons.end(), cl), mons.end());
			return UBUS_STATUS_OK;
		}
		return UBUS_STATUS_METHOD_NOT_FOUND;
	}
	default:
		return UBUS_STATUS_NOT_FOUND;
	}
}

static int handle_invoke(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
{
	struct busd *d = cl->d;
	if (!tb[UBUS_ATTR_METHOD] || !tb[UBUS_ATTR_OBJID])
		return UBUS_STATUS_INVALID_ARGUMENT;
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	const char *method = blob_get_string(tb[UBUS_ATTR_METHOD]);
	if (id < UBUS_SYSTEM_OBJECT_MAX)
		return handle_system_invoke(cl, id, method, tb[UBUS_ATTR_DATA], seq, peer);
	auto it = d->objects.find(id);
	if (it == d->objects.end())
		return UBUS_STATUS_NOT_FOUND;
	busd_object *obj = it->second.get();
	busd_client *owner = obj->client;
	if (owner->dead)
		return -1;

	// To the owner: the caller's seq, the caller's client id as peer, and
	// who is calling.
	struct blob_attr *oid = tb[UBUS_ATTR_OBJID], *meth = tb[UBUS_ATTR_METHOD],
			 *data = tb[UBUS_ATTR_DATA];
	size_t len = UBUS_MSG_PREFIX_LEN + blob_pad_len(oid) + blob_pad_len(meth) +
		     cl->ident.size() + (data ? blob_pad_len(data) : 0);
	uint8_t *p = client_reserve(owner, len);
	if (!p)
		return -1;
	uint8_t *start = p;
	ubus_msghdr_fill(p, UBUS_MSG_INVOKE, seq, cl->id);
	uint32_t w = htobe32((uint32_t)(len - UBUS_MSGHDR_LEN));
	memcpy(p + UBUS_MSGHDR_LEN, &w, 4);
	p += UBUS_MSG_PREFIX_LEN;
	memcpy(p, oid, blob_pad_len(oid));
	p += blob_pad_len(oid);
	memcpy(p, meth, blob_pad_len(meth));
	p += blob_pad_len(meth);
	memcpy(p, cl->ident.data(), cl->ident.size());
	p += cl->ident.size();
	if (data)
		memcpy(p, data, blob_pad_len(data));
	monitor_msg(owner, start, true);
	return -1;
}

// DATA and STATUS from an object owner go back to the caller named in the
// header's peer, with the peer rewritten to the object.
static void handle_reply(busd_client *cl, uint8_t type, struct blob_attr **tb,
			 const uint8_t *raw, size_t len, uint32_t peer)
{
	struct busd *d = cl->d;
	if (!tb[UBUS_ATTR_OBJID])
		return;
	if (type == UBUS_MSG_STATUS && !tb[UBUS_ATTR_STATUS])
		return;
	if (type == UBUS_MSG_DATA && !tb[UBUS_ATTR_DATA])
		return;
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	auto it = d->objects.find(id);
	if (it == d->objects.end() || it->second->client != cl)
		return;
	auto dest = d->clients.find(peer);
	if (dest == d->clients.end())
		return;
	uint8_t *p = client_reserve(dest->second.get(), len);
	if (!p)
		return;
	memcpy(p, raw, len);
	uint32_t be = htobe32(id);
	memcpy(p + 4, &be, 4);
	monitor_msg(dest->second.get(), p, true);
}

void handle_msg(busd_client *cl, const uint8_t *raw, size_t len)
{
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_msg_parse(raw, len, &type, &seq, &peer, tb);
	monitor_msg(cl, raw, false);
	int ret;
	switch (type) {
	case UBUS_MSG_PING:
		handle_ping(cl, raw, len, seq, peer);
		return;
	case UBUS_MSG_LOOKUP:
		ret = handle_lookup(cl, tb, seq, peer);
		break;
	case UBUS_MSG_INVOKE:
		ret = handle_invoke(cl, tb, seq, peer);
		break;
	case UBUS_MSG_ADD_OBJECT:
		ret = handle_add_object(cl, tb, seq, peer);
		break;
	case UBUS_MSG_REMOVE_OBJECT:
		ret = handle_remove_object(cl, tb, seq, peer);
		break;
	case UBUS_MSG_SUBSCRIBE:
		ret = handle_subscribe(cl, tb);
		break;
	case UBUS_MSG_UNSUBSCRIBE:
		ret = handle_unsubscribe(cl, tb);
		break;
	case UBUS_MSG_NOTIFY:
		ret = handle_notify(cl, tb, seq, peer);
		break;
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		handle_reply(cl, type, tb, raw, len, peer);
		return;
	default:
		ret = UBUS_STATUS_INVALID_COMMAND;
		break;
	}
	if (ret >= 0)
		send_status(cl, seq, peer, ret);
}

} // namespace busd_internal
