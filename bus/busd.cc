#include "bus/busd.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bus/blobmsg.h"
#include "bus/ubus.h"
#include "bus/ubusmsg.h"
#include "bus/uloop.h"

namespace {

constexpr size_t max_txq = 1048576;
// Output collected while handling a batch is written at the end of it;
// beyond this much it is written at once so that the cap only ever drops
// messages for a client that really stopped reading.
constexpr size_t tx_early_flush = 64 * 1024;
constexpr size_t rx_initial = 64 * 1024;

struct busd_client;
struct busd_object;

struct busd_type {
	uint32_t id;
	int refcount;
	// The children of the SIGNATURE attribute as registered, returned by
	// lookups verbatim.
	std::vector<uint8_t> signature;
};

struct busd_pattern {
	bool partial;
	busd_object *obj;
};

using pattern_map = std::multimap<std::string, busd_pattern>;

struct busd_object {
	uint32_t id;
	busd_client *client;
	busd_type *type;
	bool has_path;
	std::string path;
	std::vector<pattern_map::iterator> patterns;
	// The event send round that last reached this object: one delivery per
	// handler object however many of its patterns match.
	uint32_t event_seen;
	// Numbers what the broker itself sends about this object (subscription
	// state to its owner, unsubscription to a subscriber).
	uint16_t seq;
	// Subscriber objects watching this one, and the objects this one
	// watches, in subscription order.
	std::vector<busd_object *> subscribers;
	std::vector<busd_object *> targets;
};

struct busd_client {
	struct uloop_fd sock;
	struct busd *d;
	uint32_t id;
	uid_t uid;
	gid_t gid;
	// USER and GROUP attributes, encoded once, added to every call
	// forwarded to an object owner.
	std::vector<uint8_t> ident;

	uint8_t *rbuf = nullptr;
	size_t rcap = 0;
	size_t rstart = 0;
	size_t rend = 0;

	std::vector<uint8_t> txq;
	size_t txoff = 0;
	bool dirty = false;
	bool want_write = false;
	bool dead = false;
	bool monitor = false;
	uint16_t monitor_seq = 0;

	// Oldest first; removed newest first on disconnect.
	std::vector<busd_object *> objects;
};

} // namespace

// The listening socket's watcher; a plain record so that its callback can
// find the broker from the watcher's address.
struct busd_listener {
	struct uloop_fd fd;
	// Re-enables accepting after running out of descriptors.
	struct uloop_timeout retry;
	struct busd *d;
};

struct busd {
	struct busd_listener listen = {};
	std::string path;
	std::unordered_map<uint32_t, std::unique_ptr<busd_client>> clients;
	std::unordered_map<uint32_t, std::unique_ptr<busd_object>> objects;
	std::unordered_map<uint32_t, std::unique_ptr<busd_type>> types;
	// Byte-wise path order, the order lookups list objects in.
	std::map<std::string, busd_object *> paths;
	pattern_map patterns;
	uint16_t event_seq = 0;
	uint32_t event_round = 0;
	std::vector<busd_client *> dirty;
	std::vector<busd_client *> dead;
	// Clients that get a copy of all traffic.
	std::vector<busd_client *> monitors;
	struct blob_buf b = {};
	std::vector<uint8_t> scratch;
	std::vector<uint8_t> mon_copy;
	std::vector<uint8_t> mon_attrs;
};

namespace {

uint32_t random_id()
{
	uint32_t v = 0;
	while (getrandom(&v, sizeof(v), 0) != sizeof(v))
		;
	return v;
}

template <typename Map> uint32_t new_id(const Map &pool)
{
	for (;;) {
		uint32_t id = random_id();
		if (id >= UBUS_SYSTEM_OBJECT_MAX && !pool.count(id))
			return id;
	}
}

// Appends one attribute with zeroed padding.
void put_attr(std::vector<uint8_t> &v, int id, const void *data, size_t len)
{
	uint32_t w = htobe32(((uint32_t)id << BLOB_ATTR_ID_SHIFT) | (uint32_t)(len + 4));
	const auto *wp = reinterpret_cast<const uint8_t *>(&w);
	v.insert(v.end(), wp, wp + 4);
	const auto *dp = static_cast<const uint8_t *>(data);
	if (len)
		v.insert(v.end(), dp, dp + len);
	v.insert(v.end(), blob_pad4(len) - len, 0);
}

void put_u32_attr(std::vector<uint8_t> &v, int id, uint32_t val)
{
	uint32_t be = htobe32(val);
	put_attr(v, id, &be, 4);
}

void kill_client(busd_client *cl)
{
	if (cl->dead)
		return;
	cl->dead = true;
	cl->d->dead.push_back(cl);
}

void client_update_poll(busd_client *cl)
{
	bool want = cl->txoff < cl->txq.size();
	if (want == cl->want_write || !cl->sock.registered)
		return;
	cl->want_write = want;
	uloop_fd_add(&cl->sock, ULOOP_READ | (want ? ULOOP_WRITE : 0));
}

void client_flush(busd_client *cl)
{
	while (!cl->dead && cl->txoff < cl->txq.size()) {
		ssize_t n = send(cl->sock.fd, cl->txq.data() + cl->txoff,
				 cl->txq.size() - cl->txoff, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n > 0) {
			cl->txoff += n;
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			break;
		kill_client(cl);
	}
	if (cl->txoff == cl->txq.size()) {
		cl->txq.clear();
		cl->txoff = 0;
	} else if (cl->txoff > 256 * 1024) {
		cl->txq.erase(cl->txq.begin(), cl->txq.begin() + cl->txoff);
		cl->txoff = 0;
	}
	if (!cl->dead)
		client_update_poll(cl);
}

// Makes room for a message of `len` bytes in the client's queue and returns
// where to write it, or null when the message is dropped: a client that
// lets more than max_txq pile up loses what comes next.
uint8_t *client_reserve(busd_client *cl, size_t len)
{
	if (cl->dead)
		return nullptr;
	size_t queued = cl->txq.size() - cl->txoff;
	if (queued >= tx_early_flush) {
		client_flush(cl);
		if (cl->dead)
			return nullptr;
		queued = cl->txq.size() - cl->txoff;
	}
	if (queued && queued + len > max_txq)
		return nullptr;
	if (!cl->dirty) {
		cl->dirty = true;
		cl->d->dirty.push_back(cl);
	}
	size_t at = cl->txq.size();
	cl->txq.resize(at + len);
	return cl->txq.data() + at;
}

enum {
	UBUS_MONITOR_CLIENT,
	UBUS_MONITOR_PEER,
	UBUS_MONITOR_SEND,
	UBUS_MONITOR_SEQ,
	UBUS_MONITOR_TYPE,
	UBUS_MONITOR_DATA,
};

void client_send_attrs(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer,
		       const std::vector<uint8_t> &attrs);

// Copies message `m`, just received from (send = false) or queued for
// `cl`, to every monitor.
void monitor_msg(busd_client *cl, const uint8_t *m, bool send)
{
	struct busd *d = cl->d;
	if (d->monitors.empty() || m[1] == UBUS_MSG_MONITOR)
		return;
	// `m` may sit in a queue that the copies below make grow.
	size_t len = UBUS_MSGHDR_LEN + ubus_msg_root_len(m);
	d->mon_copy.assign(m, m + len);
	const uint8_t *c = d->mon_copy.data();
	struct ubus_msghdr h;
	memcpy(&h, c, sizeof(h));
	std::vector<uint8_t> &v = d->mon_attrs;
	v.clear();
	put_u32_attr(v, UBUS_MONITOR_CLIENT, cl->id);
	put_u32_attr(v, UBUS_MONITOR_PEER, be32toh(h.peer));
	uint8_t dir = send;
	put_attr(v, UBUS_MONITOR_SEND, &dir, 1);
	put_u32_attr(v, UBUS_MONITOR_SEQ, be16toh(h.seq));
	put_u32_attr(v, UBUS_MONITOR_TYPE, h.type);
	put_attr(v, UBUS_MONITOR_DATA, c + UBUS_MSG_PREFIX_LEN, len - UBUS_MSG_PREFIX_LEN);
	for (busd_client *mon : d->monitors)
		client_send_attrs(mon, UBUS_MSG_MONITOR, ++mon->monitor_seq, 0, v);
}

// Queues header + `body` (a complete root attribute of body_len bytes).
void client_send(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer, const void *body,
		 size_t body_len)
{
	uint8_t *p = client_reserve(cl, UBUS_MSGHDR_LEN + body_len);
	if (!p)
		return;
	ubus_msghdr_fill(p, type, seq, peer);
	memcpy(p + UBUS_MSGHDR_LEN, body, body_len);
	monitor_msg(cl, p, true);
}

// Queues a message whose body is the root word followed by `attrs`.
void client_send_attrs(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer,
		       const std::vector<uint8_t> &attrs)
{
	uint8_t *p = client_reserve(cl, UBUS_MSG_PREFIX_LEN + attrs.size());
	if (!p)
		return;
	ubus_msghdr_fill(p, type, seq, peer);
	uint32_t w = htobe32((uint32_t)(attrs.size() + 4));
	memcpy(p + UBUS_MSGHDR_LEN, &w, 4);
	if (!attrs.empty())
		memcpy(p + UBUS_MSG_PREFIX_LEN, attrs.data(), attrs.size());
	monitor_msg(cl, p, true);
}

void send_status(busd_client *cl, uint16_t seq, uint32_t peer, int status)
{
	uint8_t body[12];
	uint32_t w = htobe32(12);
	memcpy(body, &w, 4);
	w = htobe32(((uint32_t)UBUS_ATTR_STATUS << BLOB_ATTR_ID_SHIFT) | 8);
	memcpy(body + 4, &w, 4);
	w = htobe32((uint32_t)status);
	memcpy(body + 8, &w, 4);
	client_send(cl, UBUS_MSG_STATUS, seq, peer, body, sizeof(body));
}

bool pattern_matches(const std::string &key, bool partial, const char *name, size_t name_len)
{
	if (partial)
		return name_len >= key.size() && !memcmp(name, key.data(), key.size());
	return name_len == key.size() && !memcmp(name, key.data(), key.size());
}

// Delivers event `name` with `data`/`data_len` (the members of its table)
// to every matching handler object except those of `sender`.
void send_event(struct busd *d, busd_client *sender, const char *name, const void *data,
		size_t data_len)
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

void type_put(struct busd *d, busd_type *t)
{
	if (t && --t->refcount == 0)
		d->types.erase(t->id);
}

// Tells the owner of `target` whether anyone watches it now.
void notify_active(busd_object *target, bool active)
{
	std::vector<uint8_t> &v = target->client->d->scratch;
	v.clear();
	put_u32_attr(v, UBUS_ATTR_OBJID, target->id);
	uint8_t a = active;
	put_attr(v, UBUS_ATTR_ACTIVE, &a, 1);
	client_send_attrs(target->client, UBUS_MSG_NOTIFY, ++target->seq, 0, v);
}

void unsubscribe(busd_object *sub, busd_object *target)
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

void handle_ping(busd_client *cl, const uint8_t *raw, size_t len, uint16_t seq, uint32_t peer)
{
	client_send(cl, UBUS_MSG_DATA, seq, peer, raw + UBUS_MSGHDR_LEN, len - UBUS_MSGHDR_LEN);
	send_status(cl, seq, peer, UBUS_STATUS_OK);
}

void send_lookup_data(busd_client *cl, uint16_t seq, uint32_t peer, busd_object *obj)
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

busd_type *create_type(struct busd *d, struct blob_attr *sig)
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
int find_own_object(busd_client *cl, struct blob_attr **tb, busd_object **obj)
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
int find_subscription(busd_client *cl, struct blob_attr **tb, busd_object **sub,
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

int handle_system_invoke(busd_client *cl, uint32_t id, const char *method, struct blob_attr *data,
			 uint16_t seq, uint32_t peer)
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

int handle_invoke(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer)
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
void handle_reply(busd_client *cl, uint8_t type, struct blob_attr **tb, const uint8_t *raw,
		  size_t len, uint32_t peer)
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

void flush_dirty(struct busd *d)
{
	while (!d->dirty.empty()) {
		std::vector<busd_client *> v;
		v.swap(d->dirty);
		for (busd_client *cl : v) {
			cl->dirty = false;
			client_flush(cl);
		}
	}
}

void free_client(struct busd *d, busd_client *cl)
{
	// Also when a hang-up already unregistered it: events fetched for it
	// in the same batch must be forgotten before it is freed.
	uloop_fd_delete(&cl->sock);
	close(cl->sock.fd);
	cl->txq.clear();
	cl->txoff = 0;
	d->monitors.erase(std::remove(d->monitors.begin(), d->monitors.end(), cl),
			  d->monitors.end());
	while (!cl->objects.empty())
		free_object(d, cl->objects.back());
	free(cl->rbuf);
	d->dirty.erase(std::remove(d->dirty.begin(), d->dirty.end(), cl), d->dirty.end());
	d->clients.erase(cl->id);
}

// Writes what was collected and releases clients that went away, whose
// remove events may in turn make output (and dead clients).
void settle(struct busd *d)
{
	for (;;) {
		flush_dirty(d);
		if (d->dead.empty())
			break;
		std::vector<busd_client *> v;
		v.swap(d->dead);
		for (busd_client *cl : v)
			free_client(d, cl);
	}
}

// Returns false when the client's stream is broken.
bool client_read(busd_client *cl)
{
	size_t avail = cl->rend - cl->rstart;
	if (cl->rstart) {
		if (avail)
			memmove(cl->rbuf, cl->rbuf + cl->rstart, avail);
		cl->rstart = 0;
		cl->rend = avail;
	}
	size_t want = ubus_msg_rx_want(cl->rbuf, avail, 4096);
	if (cl->rcap - cl->rend < want) {
		size_t cap = cl->rcap ? cl->rcap : rx_initial;
		while (cap - avail < want)
			cap += rx_initial;
		auto *nb = static_cast<uint8_t *>(realloc(cl->rbuf, cap));
		if (!nb)
			return false;
		cl->rbuf = nb;
		cl->rcap = cap;
	}
	ssize_t n = ubus_recv_some(cl->sock.fd, cl->rbuf + cl->rend, cl->rcap - cl->rend);
	if (n < 0)
		return false;
	cl->rend += n;
	return true;
}

// Handles every complete message in the buffer; false when one is
// malformed, which costs the client its connection.
bool client_process(busd_client *cl)
{
	while (!cl->dead) {
		const uint8_t *p = cl->rbuf + cl->rstart;
		ssize_t total = ubus_msg_frame_len(p, cl->rend - cl->rstart);
		if (total < 0)
			return false;
		if (total == 0)
			return true;
		cl->rstart += total;
		handle_msg(cl, p, total);
	}
	return true;
}

void client_cb(struct uloop_fd *u, unsigned int events)
{
	busd_client *cl = container_of(u, busd_client, sock);
	struct busd *d = cl->d;
	if (events & ULOOP_WRITE)
		client_flush(cl);
	if (!cl->dead && (events & ULOOP_READ || u->error || !u->registered)) {
		bool ok = client_read(cl) && client_process(cl);
		if (!ok || u->error || !u->registered)
			kill_client(cl);
	}
	// The requester's answers go out first: it can go on while the
	// broker writes to everyone else, and nothing it sends next is read
	// before that writing is done.
	if (cl->dirty && !cl->dead)
		client_flush(cl);
	settle(d);
}

bool client_identity(busd_client *cl)
{
	struct ucred cred;
	socklen_t len = sizeof(cred);
	if (getsockopt(cl->sock.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0)
		return false;
	cl->uid = cred.uid;
	cl->gid = cred.gid;

	char buf[4096];
	struct passwd pw, *pwp = nullptr;
	if (getpwuid_r(cred.uid, &pw, buf, sizeof(buf), &pwp) || !pwp)
		return false;
	std::string user = pwp->pw_name;
	struct group gr, *grp = nullptr;
	if (getgrgid_r(cred.gid, &gr, buf, sizeof(buf), &grp) || !grp)
		return false;
	std::string group = grp->gr_name;
	put_attr(cl->ident, UBUS_ATTR_USER, user.c_str(), user.size() + 1);
	put_attr(cl->ident, UBUS_ATTR_GROUP, group.c_str(), group.size() + 1);
	return true;
}

constexpr int accept_retry_ms = 100;

void listen_retry_cb(struct uloop_timeout *t)
{
	struct busd_listener *l = container_of(t, struct busd_listener, retry);
	uloop_fd_add(&l->fd, ULOOP_READ);
}

void listen_cb(struct uloop_fd *u, unsigned int)
{
	struct busd *d = container_of(u, struct busd_listener, fd)->d;
	for (;;) {
		int fd = accept4(u->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
			    errno == ENOMEM) {
				// The waiting connection stays ready: listening on would
				// spin. Pause and try again shortly.
				uloop_fd_delete(u);
				uloop_timeout_set(&d->listen.retry, accept_retry_ms);
			}
			break;
		}
		auto cl = std::make_unique<busd_client>();
		cl->sock = {};
		cl->sock.fd = fd;
		cl->sock.cb = client_cb;
		cl->d = d;
		if (!client_identity(cl.get())) {
			close(fd);
			continue;
		}
		cl->id = new_id(d->clients);
		busd_client *c = cl.get();
		d->clients[c->id] = std::move(cl);
		if (uloop_fd_add(&c->sock, ULOOP_READ) < 0) {
			kill_client(c);
			continue;
		}
		uint8_t body[4] = {0, 0, 0, 4};
		client_send(c, UBUS_MSG_HELLO, 0, c->id, body, sizeof(body));
	}
	settle(d);
}

} // namespace

struct busd *busd_start(const char *path)
{
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	if (!path || strlen(path) >= sizeof(sun.sun_path))
		return nullptr;
	strcpy(sun.sun_path, path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return nullptr;
	unlink(path);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0 ||
	    listen(fd, SOMAXCONN) < 0) {
		close(fd);
		return nullptr;
	}
	// Anyone may connect: access is not restricted by the socket's mode.
	chmod(path, 0666);
	auto *d = new busd;
	d->path = path;
	d->listen.fd.fd = fd;
	d->listen.fd.cb = listen_cb;
	d->listen.retry.cb = listen_retry_cb;
	d->listen.d = d;
	if (uloop_fd_add(&d->listen.fd, ULOOP_READ) < 0) {
		close(fd);
		unlink(path);
		delete d;
		return nullptr;
	}
	return d;
}

void busd_stop(struct busd *d)
{
	if (!d)
		return;
	uloop_fd_delete(&d->listen.fd);
	uloop_timeout_cancel(&d->listen.retry);
	close(d->listen.fd.fd);
	unlink(d->path.c_str());
	for (auto &[id, cl] : d->clients) {
		uloop_fd_delete(&cl->sock);
		close(cl->sock.fd);
		free(cl->rbuf);
	}
	d->patterns.clear();
	d->objects.clear();
	d->clients.clear();
	blob_buf_free(&d->b);
	delete d;
}

struct busd_thread {
	std::thread thread;
	std::mutex lock;
	std::condition_variable cond;
	bool ready = false;
	bool ok = false;
	int stop_fd = -1;
	struct uloop_fd stop = {};
	std::string path;
};

namespace {

void stop_cb(struct uloop_fd *u, unsigned int)
{
	uint64_t v;
	ssize_t r = read(u->fd, &v, sizeof(v));
	(void)r;
	uloop_end();
}

void busd_thread_main(struct busd_thread *t)
{
	uloop_init_nosignals();
	struct busd *d = busd_start(t->path.c_str());
	t->stop.fd = t->stop_fd;
	t->stop.cb = stop_cb;
	bool ok = d && uloop_fd_add(&t->stop, ULOOP_READ) == 0;
	{
		std::lock_guard<std::mutex> g(t->lock);
		t->ready = true;
		t->ok = ok;
	}
	t->cond.notify_all();
	if (ok)
		uloop_run();
	uloop_fd_delete(&t->stop);
	busd_stop(d);
	uloop_done();
}

} // namespace

struct busd_thread *busd_thread_start(const char *path)
{
	if (!path)
		return nullptr;
	int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (efd < 0)
		return nullptr;
	auto *t = new busd_thread;
	t->path = path;
	t->stop_fd = efd;
	t->thread = std::thread(busd_thread_main, t);
	bool ok;
	{
		std::unique_lock<std::mutex> g(t->lock);
		t->cond.wait(g, [t] { return t->ready; });
		ok = t->ok;
	}
	if (!ok) {
		t->thread.join();
		close(efd);
		delete t;
		return nullptr;
	}
	return t;
}

void busd_thread_stop(struct busd_thread *t)
{
	if (!t)
		return;
	uint64_t one = 1;
	ssize_t r = write(t->stop_fd, &one, sizeof(one));
	(void)r;
	t->thread.join();
	close(t->stop_fd);
	delete t;
}
