// The broker's records and the functions its files share:
//   busd.cc           starting and stopping, the broker's own thread
//   busd_client.cc    client connections: accepting, reading, their output
//                     queues, monitors
//   busd_dispatch.cc  what a client's message asks for; calls forwarded to
//                     object owners and their replies routed back
//   busd_object.cc    objects, their types and lookups, subscriptions
//   busd_event.cc     event patterns and deliveries
// The broker is single-threaded: everything runs in its loop's callbacks.
#pragma once

#include <sys/random.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus/blobmsg.h"
#include "bus/busd.h"
#include "bus/ubus.h"
#include "bus/ubusmsg.h"
#include "bus/uloop.h"

struct busd_client;
struct busd_object;

// Owned by the broker's type table; counted by the objects of that type and
// dropped with the last of them.
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

// Owned by the broker's object table, listed on its client and, when named,
// in the path index. Released only by free_object: on removal, or when its
// client goes.
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

// Owned by the broker's client table. A client that fails is only marked
// dead (kill_client) and released when the batch is settled, so that no
// handler loses the record it is working on.
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

namespace busd_internal {

inline uint32_t random_id()
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

// --- client connections (busd_client.cc)

// Appends one attribute with zeroed padding.
void put_attr(std::vector<uint8_t> &v, int id, const void *data, size_t len);
void put_u32_attr(std::vector<uint8_t> &v, int id, uint32_t val);
// Makes room for a message of `len` bytes in the client's queue and returns
// where to write it, or null when the message is dropped: a client that
// lets more than max_txq pile up loses what comes next.
uint8_t *client_reserve(busd_client *cl, size_t len);
// Copies message `m`, just received from (send = false) or queued for
// `cl`, to every monitor.
void monitor_msg(busd_client *cl, const uint8_t *m, bool send);
// Queues header + `body` (a complete root attribute of body_len bytes).
void client_send(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer, const void *body,
		 size_t body_len);
// Queues a message whose body is the root word followed by `attrs`.
void client_send_attrs(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer,
		       const std::vector<uint8_t> &attrs);
void send_status(busd_client *cl, uint16_t seq, uint32_t peer, int status);
void listen_cb(struct uloop_fd *u, unsigned int);
void listen_retry_cb(struct uloop_timeout *t);

// --- dispatch (busd_dispatch.cc)

// Handles one complete message from `cl`: answers and forwarded calls are
// queued and written when the batch is settled.
void handle_msg(busd_client *cl, const uint8_t *raw, size_t len);

// --- objects (busd_object.cc)

// Releases `obj`: its subscriptions, patterns and path go with it.
void free_object(struct busd *d, busd_object *obj);
// The handlers of the messages about objects return the status to answer
// with, or -1 when the answer is theirs to send.
int handle_lookup(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer);
int handle_add_object(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer);
int handle_remove_object(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer);
int handle_subscribe(busd_client *cl, struct blob_attr **tb);
int handle_unsubscribe(busd_client *cl, struct blob_attr **tb);
int handle_notify(busd_client *cl, struct blob_attr **tb, uint16_t seq, uint32_t peer);

// --- events (busd_event.cc)

// Tells everyone listening that `obj` was added or removed (`event`).
void send_object_event(struct busd *d, const char *event, busd_object *obj);
// The event object's methods: `msg` is the call's DATA; they return the
// status.
int event_register(busd_client *cl, struct blob_attr *msg);
int event_send(busd_client *cl, struct blob_attr *msg);

} // namespace busd_internal
