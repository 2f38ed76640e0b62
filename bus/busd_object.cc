#include <algorithm>

#include "bus/busd_internal.h"

namespace busd_internal {

static void type_put(struct busd *d, busd_type *t)
{
	if (t && --t->refcount == 0)
		d->types.erase(t->id);
}

// Tells the owner of `target` whether anyone watches it now.
static void notify_active(busd_object *target, bool active)
{
	std::vector<uint8_t> &v = target->client->d->scratch;
	v.clear();
	put_u32_attr(v, UBUS_ATTR_OBJID, target->id);
	uint8_t a = active;
	put_attr(v, UBUS_ATTR_ACTIVE, &a, 1);
	client_send_attrs(target->client, UBUS_MSG_NOTIFY, ++target->seq, 0, v);
}

static void unsubscribe(busd_object *sub, busd_object *target)
{
	auto &s = target->subscribers;
	s.erase(std::remove(s.begin(), s.end(), sub), s.end());
	auto &t = sub->targets;
	t.erase(std::remove(t.begin(), t.end(), target), t.end());
	if (s.empty())
		notify_active(target, false);
}

void free_object(struct busd *d, busd_object *obj)
{
	while (!obj->targets.empty())
		unsubscribe(obj, obj->targets.front());
	if (!obj->subscribers.empty()) {
		notify_active(obj, false);
		std::vector<busd_object *> subs;
		subs.swap(obj->subscribers);
		for (busd_object *sub : subs) {
			auto &t = sub->targets;
			t.erase(std::remove(t.begin(), t.end(), obj), t.end());
			std::vector<uint8_t> &v = d->scratch;
			v.clear();
			put_u32_attr(v, UBUS_ATTR_OBJID, sub->id);
			put_u32_attr(v, UBUS_ATTR_TARGET, obj->id);
			client_send_attrs(sub->client, UBUS_MSG_UNSUBSCRIBE, ++sub->seq, 0, v);
		}
	}
	for (auto it : obj->patterns)
		d->patterns.erase(it);
	obj->patterns.clear();
	if (obj->has_path) {
		d->paths.erase(obj->path);
		send_object_event(d, "ubus.object.remove", obj);
	}
	type_put(d, obj->type);
	auto &v = obj->client->objects;
	v.erase(std::remove(v.begin(), v.end(), obj), v.end());
	d->objects.erase(obj->id);
}

static void send_lookup_data(busd_client *cl, uint16_t seq, uint32_t peer, busd_object *obj)
{
	std::vector<uint8_t> &v = cl->d->scratch;
	v.clear();
	put_attr(v, UBUS_ATTR_OBJPATH, obj->path.c_str(), obj->path.size() + 1);
	put_u32_attr(v, UBUS_ATTR_OBJID, obj->id);
	put_u32_attr(v, UBUS_ATTR_OBJTYPE, obj->type->id);
	put_attr(v, UBUS_ATTR_SIGNATURE, obj->type->signature.data(), obj->type->signature.size());
	client_send_attrs(cl, UBUS_MSG_DATA, seq, peer, v);
}

int handle_lookup(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
{
	struct busd *d = cl->d;
	if (!tb[UBUS_ATTR_OBJPATH]) {
		for (auto &[path, obj] : d->paths) {
			if (obj->type)
				send_lookup_data(cl, seq, peer, obj);
		}
		return UBUS_STATUS_OK;
	}
	std::string path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
	if (path.empty())
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (path.back() != '*') {
		auto it = d->paths.find(path);
		if (it == d->paths.end())
			return UBUS_STATUS_NOT_FOUND;
		if (it->second->type)
			send_lookup_data(cl, seq, peer, it->second);
		return UBUS_STATUS_OK;
	}
	path.pop_back();
	bool found = false;
	for (auto it = d->paths.lower_bound(path); it != d->paths.end(); ++it) {
		if (it->first.compare(0, path.size(), path) != 0)
			break;
		found = true;
		if (it->second->type)
			send_lookup_data(cl, seq, peer, it->second);
	}
	return found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

static busd_type *create_type(struct busd *d, struct blob_attr *sig)
{
	struct blob_attr *pos;
	size_t rem;
	blob_for_each_attr(pos, sig, rem)
	{
		if (!blobmsg_check_attr(pos, true))
			return nullptr;
	}
	auto t = std::make_unique<busd_type>();
	t->id = new_id(d->types);
	t->refcount = 0;
	const auto *p = static_cast<const uint8_t *>(blob_data(sig));
	t->signature.assign(p, p + blob_len(sig));
	busd_type *raw = t.get();
	d->types[raw->id] = std::move(t);
	return raw;
}

int handle_add_object(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
{
	struct busd *d = cl->d;
	busd_type *type = nullptr;
	if (tb[UBUS_ATTR_OBJTYPE]) {
		auto it = d->types.find(blob_get_u32(tb[UBUS_ATTR_OBJTYPE]));
		if (it != d->types.end())
			type = it->second.get();
	} else if (tb[UBUS_ATTR_SIGNATURE]) {
		type = create_type(d, tb[UBUS_ATTR_SIGNATURE]);
	}
	if (type)
		type->refcount++;

	auto obj = std::make_unique<busd_object>();
	obj->client = cl;
	obj->type = type;
	obj->event_seen = 0;
	obj->has_path = false;
	if (tb[UBUS_ATTR_OBJPATH]) {
		obj->path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
		if (d->paths.count(obj->path)) {
			type_put(d, type);
			return UBUS_STATUS_INVALID_ARGUMENT;
		}
		obj->has_path = true;
	}
	obj->id = new_id(d->objects);
	busd_object *o = obj.get();
	d->objects[o->id] = std::move(obj);
	cl->objects.push_back(o);
	if (o->has_path) {
		d->paths[o->path] = o;
		// Everyone, the registrant's own handlers included, hears of the
		// object before the registrant gets its reply.
		send_object_event(d, "ubus.object.add", o);
	}

	std::vector<uint8_t> &v = d->scratch;
	v.clear();
	put_u32_attr(v, UBUS_ATTR_OBJID, o->id);
	if (tb[UBUS_ATTR_SIGNATURE] && o->type)
		put_u32_attr(v, UBUS_ATTR_OBJTYPE, o->type->id);
	client_send_attrs(cl, UBUS_MSG_DATA, seq, peer, v);
	return UBUS_STATUS_OK;
}

// Finds the object the request names by UBUS_ATTR_OBJID, which only its
// owner may act on; returns 0 or the status to answer with.
static int find_own_object(busd_client *cl, struct blob_attr **tb, busd_object **obj)
{
	struct busd *d = cl->d;
	if (!tb[UBUS_ATTR_OBJID])
		return UBUS_STATUS_INVALID_ARGUMENT;
	auto it = d->objects.find(blob_get_u32(tb[UBUS_ATTR_OBJID]));
	if (it == d->objects.end())
		return UBUS_STATUS_NOT_FOUND;
	if (it->second->client != cl)
		return UBUS_STATUS_PERMISSION_DENIED;
	*obj = it->second.get();
	return UBUS_STATUS_OK;
}

int handle_remove_object(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
{
	struct busd *d = cl->d;
	busd_object *obj;
	int ret = find_own_object(cl, tb, &obj);
	if (ret)
		return ret;

	std::vector<uint8_t> &v = d->scratch;
	v.clear();
	put_u32_attr(v, UBUS_ATTR_OBJID, obj->id);
	if (obj->type && obj->type->refcount == 1)
		put_u32_attr(v, UBUS_ATTR_OBJTYPE, obj->type->id);
	client_send_attrs(cl, UBUS_MSG_DATA, seq, peer, v);
	free_object(d, obj);
	return UBUS_STATUS_OK;
}

// Finds subscriber S and target T of a (un)subscription; returns 0 or the
// status to answer with.
static int find_subscription(busd_client *cl, struct blob_attr **tb, busd_object **sub,
			     busd_object **target)
{
	struct busd *d = cl->d;
	if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_TARGET])
		return UBUS_STATUS_INVALID_ARGUMENT;
	auto s = d->objects.find(blob_get_u32(tb[UBUS_ATTR_OBJID]));
	if (s == d->objects.end())
		return UBUS_STATUS_NOT_FOUND;
	if (s->second->client != cl)
		return UBUS_STATUS_INVALID_ARGUMENT;
	auto t = d->objects.find(blob_get_u32(tb[UBUS_ATTR_TARGET]));
	if (t == d->objects.end())
		return UBUS_STATUS_NOT_FOUND;
	*sub = s->second.get();
	*target = t->second.get();
	return UBUS_STATUS_OK;
}

int handle_subscribe(busd_client *cl, struct blob_attr **tb)
{
	busd_object *sub, *target;
	int ret = find_subscription(cl, tb, &sub, &target);
	if (ret)
		return ret;
	if (target->client == cl)
		return UBUS_STATUS_INVALID_ARGUMENT;
	auto &s = target->subscribers;
	if (std::find(s.begin(), s.end(), sub) != s.end())
		return UBUS_STATUS_OK;
	s.push_back(sub);
	sub->targets.push_back(target);
	if (s.size() == 1)
		notify_active(target, true);
	return UBUS_STATUS_OK;
}

int handle_unsubscribe(busd_client *cl, struct blob_attr **tb)
{
	busd_object *sub, *target;
	int ret = find_subscription(cl, tb, &sub, &target);
	if (ret)
		return ret;
	auto &s = target->subscribers;
	if (std::find(s.begin(), s.end(), sub) == s.end())
		return UBUS_STATUS_NOT_FOUND;
	unsubscribe(sub, target);
	return UBUS_STATUS_OK;
}

// An owner notifies the subscribers of its object: each gets the call, and
// unless no reply is wanted the owner learns who they are.
int handle_notify(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
{
	struct busd *d = cl->d;
	busd_object *target;
	int ret = find_own_object(cl, tb, &target);
	if (ret)
		return ret;
	if (!tb[UBUS_ATTR_METHOD])
		return UBUS_STATUS_INVALID_ARGUMENT;
	bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);

	std::vector<uint8_t> &v = d->scratch;
	if (!no_reply) {
		v.clear();
		put_u32_attr(v, UBUS_ATTR_OBJID, target->id);
		std::vector<uint8_t> ids;
		for (busd_object *sub : target->subscribers)
			put_u32_attr(ids, UBUS_ATTR_UNSPEC, sub->id);
		put_attr(v, UBUS_ATTR_SUBSCRIBERS, ids.data(), ids.size());
		uint32_t ok = htobe32(UBUS_STATUS_OK);
		put_attr(v, UBUS_ATTR_STATUS, &ok, 4);
		client_send_attrs(cl, UBUS_MSG_STATUS, seq, peer, v);
	}
	struct blob_attr *meth = tb[UBUS_ATTR_METHOD], *data = tb[UBUS_ATTR_DATA];
	for (busd_object *sub : target->subscribers) {
		v.clear();
		if (no_reply) {
			uint8_t one = 1;
			put_attr(v, UBUS_ATTR_NO_REPLY, &one, 1);
		}
		put_u32_attr(v, UBUS_ATTR_OBJID, sub->id);
		put_attr(v, UBUS_ATTR_METHOD, blob_data(meth), blob_len(meth));
		v.insert(v.end(), cl->ident.begin(), cl->ident.end());
		if (data)
			put_attr(v, UBUS_ATTR_DATA, blob_data(data), blob_len(data));
		client_send_attrs(sub->client, UBUS_MSG_INVOKE, seq, cl->id, v);
	}
	return -1;
}

} // namespace busd_internal
