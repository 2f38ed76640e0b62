#include <cstring>

#include "bus/busd_internal.h"

namespace busd_internal {

static bool pattern_matches(const std::string &key, bool partial, const char *name, size_t name_len)
{
	if (partial)
		return name_len >= key.size() && !memcmp(name, key.data(), key.size());
	return name_len == key.size() && !memcmp(name, key.data(), key.size());
}

// Delivers event `name` with `data`/`data_len` (the members of its table)
// to every matching handler object except those of `sender`.
static void send_event(struct busd *d, busd_client *sender, const char *name,
		       const void *data, size_t data_len)
{
	size_t name_len = strlen(name);
	// Encoded once; only seq and the handler's object id differ between
	// deliveries.
	std::vector<uint8_t> &m = d->scratch;
	m.clear();
	m.resize(UBUS_MSG_PREFIX_LEN);
	put_u32_attr(m, UBUS_ATTR_OBJID, 0);
	put_attr(m, UBUS_ATTR_METHOD, name, name_len + 1);
	put_attr(m, UBUS_ATTR_DATA, data, data_len);
	uint32_t w = htobe32((uint32_t)(m.size() - UBUS_MSGHDR_LEN));
	memcpy(m.data() + UBUS_MSGHDR_LEN, &w, 4);
	const size_t objid_at = UBUS_MSG_PREFIX_LEN + 4;

	uint32_t round = ++d->event_round;
	for (auto &[key, p] : d->patterns) {
		if (!pattern_matches(key, p.partial, name, name_len))
			continue;
		busd_object *obj = p.obj;
		if (obj->client == sender || obj->event_seen == round || obj->client->dead)
			continue;
		obj->event_seen = round;
		uint8_t *out = client_reserve(obj->client, m.size());
		if (!out)
			continue;
		memcpy(out, m.data(), m.size());
		ubus_msghdr_fill(out, UBUS_MSG_INVOKE, ++d->event_seq, 0);
		uint32_t id = htobe32(obj->id);
		memcpy(out + objid_at, &id, 4);
		monitor_msg(obj->client, out, true);
	}
}

void send_object_event(struct busd *d, const char *event, busd_object *obj)
{
	struct blob_buf *b = &d->b;
	blob_buf_init(b, 0);
	blobmsg_add_u32(b, "id", obj->id);
	blobmsg_add_string(b, "path", obj->path.c_str());
	send_event(d, nullptr, event, blob_data(b->head), blob_len(b->head));
}

enum { EVREG_OBJECT, EVREG_PATTERN, __EVREG_MAX };
const struct blobmsg_policy evr_policy[__EVREG_MAX] = {
	[EVREG_OBJECT] = {"object", BLOBMSG_TYPE_INT32},
	[EVREG_PATTERN] = {"pattern", BLOBMSG_TYPE_STRING},
};

enum { EVMSG_ID, EVMSG_DATA, __EVMSG_MAX };
const struct blobmsg_policy ev_policy[__EVMSG_MAX] = {
	[EVMSG_ID] = {"id", BLOBMSG_TYPE_STRING},
	[EVMSG_DATA] = {"data", BLOBMSG_TYPE_TABLE},
};

int event_register(busd_client *cl, struct blob_attr *msg)
{
	struct busd *d = cl->d;
	struct blob_attr *tb[__EVREG_MAX];
	blobmsg_parse(evr_policy, __EVREG_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[EVREG_OBJECT] || !tb[EVREG_PATTERN])
		return UBUS_STATUS_INVALID_ARGUMENT;
	uint32_t id = blobmsg_get_u32(tb[EVREG_OBJECT]);
	if (id < UBUS_SYSTEM_OBJECT_MAX)
		return UBUS_STATUS_PERMISSION_DENIED;
	auto it = d->objects.find(id);
	if (it == d->objects.end())
		return UBUS_STATUS_NOT_FOUND;
	busd_object *obj = it->second.get();
	if (obj->client != cl)
		return UBUS_STATUS_PERMISSION_DENIED;
	std::string key = blobmsg_get_string(tb[EVREG_PATTERN]);
	if (key.empty())
		return UBUS_STATUS_PERMISSION_DENIED;
	bool partial = false;
	if (key.back() == '*') {
		partial = true;
		key.pop_back();
	}
	obj->patterns.push_back(d->patterns.emplace(std::move(key), busd_pattern{partial, obj}));
	return UBUS_STATUS_OK;
}

int event_send(busd_client *cl, struct blob_attr *msg)
{
	struct blob_attr *tb[__EVMSG_MAX];
	blobmsg_parse(ev_policy, __EVMSG_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[EVMSG_ID] || !tb[EVMSG_DATA])
		return UBUS_STATUS_INVALID_ARGUMENT;
	const char *id = blobmsg_get_string(tb[EVMSG_ID]);
	if (!strncmp(id, "ubus.", 5))
		return UBUS_STATUS_PERMISSION_DENIED;
	send_event(cl->d, cl, id, blobmsg_data(tb[EVMSG_DATA]), blobmsg_data_len(tb[EVMSG_DATA]));
	return UBUS_STATUS_OK;
}

} // namespace busd_internal
