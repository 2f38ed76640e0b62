#include <gtest/gtest.h>

#include <endian.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <atomic>
#include <functional>
#include <thread>
#include <span>
#include <string>
#include <vector>

#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "bus/ubusmsg.h"
#include "bus/uloop.h"
#include "tests/bus/bus_util.h"

using bustest::frame;
using bustest::hex;
using bustest::hex32;
using bustest::to_hex;

namespace {

// Message with the root `root` (a blob_buf head) as body.
std::vector<uint8_t> msg(uint8_t type, uint16_t seq, uint32_t peer, struct blob_attr *root)
{
	std::vector<uint8_t> m(8);
	ubus_msghdr_fill(m.data(), type, seq, peer);
	auto *p = reinterpret_cast<uint8_t *>(root);
	m.insert(m.end(), p, p + blob_raw_len(root));
	return m;
}

struct Parsed {
	uint8_t type = 0xff;
	uint16_t seq = 0;
	uint32_t peer = 0;
	std::vector<uint8_t> raw;
	struct blob_attr *tb[UBUS_ATTR_MAX] = {};

	explicit Parsed(std::vector<uint8_t> m) : raw(std::move(m))
	{
		if (raw.size() < 12)
			return;
		type = bustest::frame_type(raw);
		seq = bustest::frame_seq(raw);
		peer = bustest::frame_peer(raw);
		blob_parse_untrusted(raw.data() + 12, raw.size() - 12, tb, ubus_attr_info,
				     UBUS_ATTR_MAX);
	}
	int status() const
	{
		return tb[UBUS_ATTR_STATUS] ? blob_get_int32(tb[UBUS_ATTR_STATUS]) : -100;
	}
	uint32_t u32(int id) const { return tb[id] ? blob_get_u32(tb[id]) : 0; }
	std::string str(int id) const { return tb[id] ? blob_get_string(tb[id]) : "<none>"; }
	std::string data_json() const
	{
		if (!tb[UBUS_ATTR_DATA])
			return "<none>";
		char *s = blobmsg_format_json(tb[UBUS_ATTR_DATA], true);
		std::string r = s ? s : "";
		free(s);
		return r;
	}
};

// Raw client helpers for the requests the library makes.
std::vector<uint8_t> invoke_msg(uint16_t seq, uint32_t obj, const char *method,
				struct blob_attr *args)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj);
	blob_put_string(&b, UBUS_ATTR_METHOD, method);
	if (args)
		blob_put(&b, UBUS_ATTR_DATA, blob_data(args), blob_len(args));
	auto m = msg(UBUS_MSG_INVOKE, seq, obj, b.head);
	blob_buf_free(&b);
	return m;
}

// Adds an object with the attributes `attrs` (hex) and returns its id, for
// clients that no event handler of their own hears the addition.
uint32_t raw_add_object(bustest::RawClient &c, uint16_t seq, const std::string &attrs)
{
	c.send(frame(UBUS_MSG_ADD_OBJECT, seq, 0, attrs));
	Parsed data(c.next());
	EXPECT_EQ(Parsed(c.next()).status(), 0);
	return data.u32(UBUS_ATTR_OBJID);
}

uint32_t raw_add_handler(bustest::RawClient &c, uint16_t seq, const char *pattern)
{
	uint32_t id = raw_add_object(c, seq, "");
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "object", id);
	blobmsg_add_string(&b, "pattern", pattern);
	c.send(invoke_msg(uint16_t(seq + 1), UBUS_SYSTEM_OBJECT_EVENT, "register", b.head));
	blob_buf_free(&b);
	EXPECT_EQ(Parsed(c.next()).status(), 0);
	return id;
}

// A request the broker answers with a bare STATUS, and the code expected.
struct StatusCase {
	const char *what;
	bustest::RawClient *who;
	std::vector<uint8_t> request;
	int status;
};

// Sends each request in turn and checks its STATUS: same seq and peer as
// the request, the expected code.
void expect_statuses(std::span<const StatusCase> cases)
{
	for (const StatusCase &c : cases) {
		SCOPED_TRACE(c.what);
		c.who->send(c.request);
		Parsed st(c.who->next());
		EXPECT_EQ(st.type, UBUS_MSG_STATUS);
		EXPECT_EQ(st.seq, bustest::frame_seq(c.request));
		EXPECT_EQ(st.peer, bustest::frame_peer(c.request));
		EXPECT_EQ(st.status(), c.status);
	}
}

std::vector<uint8_t> event_msg(uint16_t seq, const char *name, const char *json)
{
	struct blob_buf d = {};
	blob_buf_init(&d, 0);
	blobmsg_add_string(&d, "id", name);
	void *t = blobmsg_open_table(&d, "data");
	if (json)
		blobmsg_add_json_from_string(&d, json);
	blobmsg_close_table(&d, t);
	auto m = invoke_msg(seq, UBUS_SYSTEM_OBJECT_EVENT, "send", d.head);
	blob_buf_free(&d);
	return m;
}

int noop_method(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
		const char *, struct blob_attr *)
{
	return 0;
}

const struct blobmsg_policy id_policy[] = {{"id", BLOBMSG_TYPE_INT32}};
const struct ubus_method plain_methods[] = {UBUS_METHOD("get", noop_method, id_policy)};

void collect_paths(struct ubus_context *, struct ubus_object_data *o, void *priv)
{
	static_cast<std::vector<std::string> *>(priv)->push_back(o->path);
}

TEST(BusBroker, LookupListsTypedObjectsInPathOrder)
{
	bustest::Broker broker;
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	bustest::NamedObject b2("b.two", plain_methods, 1), a1("a.one", plain_methods, 1),
		a3("a.three", plain_methods, 1);
	for (bustest::NamedObject *o : {&b2, &a1, &a3})
		ASSERT_EQ(ubus_add_object(ctx, &o->obj), 0);
	// An object registered with a path but no type exists unlisted.
	bustest::RawClient raw(broker.path());
	raw.send(frame(UBUS_MSG_ADD_OBJECT, 1, 0, "02000010 612e756e 74797065 64000000"));
	Parsed(raw.next());
	ASSERT_EQ(Parsed(raw.next()).status(), 0);

	struct Case {
		const char *path;
		int status;
		std::vector<std::string> listed;
	};
	const Case cases[] = {
		{nullptr, 0, {"a.one", "a.three", "b.two"}},
		{"*", 0, {"a.one", "a.three", "b.two"}},
		{"a.one", 0, {"a.one"}},
		{"a*", 0, {"a.one", "a.three", "a.untyped"} /* filtered below */},
		{"a.t*", 0, {"a.three"}},
		{"a.untyped", 0, {}},
		{"a.u*", 0, {}},
		{"a.one*", 0, {"a.one"}},
		{"a*one", 4, {}},
		{"nope", 4, {}},
		{"nope*", 4, {}},
		{"", 2, {}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.path ? c.path : "(all)");
		std::vector<std::string> listed;
		EXPECT_EQ(ubus_lookup(ctx, c.path, collect_paths, &listed), c.status);
		std::vector<std::string> want;
		for (const std::string &p : c.listed) {
			if (p != "a.untyped")
				want.push_back(p);
		}
		EXPECT_EQ(listed, want);
	}
	ubus_free(ctx);
}

TEST(BusBroker, LookupAnswersMatchTheCapture)
{
	bustest::Broker broker;
	bustest::RawClient b(broker.path());
	ASSERT_EQ(to_hex(b.hello()), to_hex(frame(UBUS_MSG_HELLO, 0, b.id(), "")));
	EXPECT_GE(b.id(), 1024u);
	const std::string sig = "06000020 8200001c 00036765 74000000 85000010 00026964 "
				"00000000 00000005";
	b.send(frame(UBUS_MSG_ADD_OBJECT, 1, 0, "02000009 64656d6f 00000000 " + sig));
	Parsed data(b.next());
	ASSERT_EQ(data.type, UBUS_MSG_DATA);
	uint32_t id = data.u32(UBUS_ATTR_OBJID), type = data.u32(UBUS_ATTR_OBJTYPE);
	EXPECT_GE(id, 1024u);
	EXPECT_GE(type, 1024u);
	EXPECT_EQ(to_hex(data.raw), to_hex(frame(UBUS_MSG_DATA, 1, 0,
						 "03000008 " + hex32(id) + " 05000008 " +
							 hex32(type))));
	EXPECT_EQ(to_hex(b.next()), to_hex(frame(UBUS_MSG_STATUS, 1, 0, "01000008 00000000")));

	bustest::RawClient c(broker.path());
	EXPECT_NE(c.id(), b.id());
	c.send(frame(UBUS_MSG_LOOKUP, 1, 0, "02000009 64656d6f 00000000"));
	EXPECT_EQ(to_hex(c.next()),
		  to_hex(frame(UBUS_MSG_DATA, 1, 0,
			       "02000009 64656d6f 00000000 03000008 " + hex32(id) + " 05000008 " +
				       hex32(type) + " " + sig)));
	EXPECT_EQ(to_hex(c.next()), to_hex(frame(UBUS_MSG_STATUS, 1, 0, "01000008 00000000")));
	c.send(frame(UBUS_MSG_LOOKUP, 2, 0, "02000009 6e6f7065 00000000"));
	EXPECT_EQ(to_hex(c.next()), to_hex(frame(UBUS_MSG_STATUS, 2, 0, "01000008 00000004")));

	// A second object sharing the type by id is listed with the same
	// signature; the reply carries no type id.
	b.send(frame(UBUS_MSG_ADD_OBJECT, 2, 0, "02000009 64656d32 00000000 05000008 " +
							 hex32(type)));
	Parsed second(b.next());
	EXPECT_EQ(second.tb[UBUS_ATTR_OBJTYPE], nullptr);
	Parsed(b.next());
	c.send(frame(UBUS_MSG_LOOKUP, 3, 0, "02000009 64656d32 00000000"));
	Parsed listed(c.next());
	EXPECT_EQ(listed.u32(UBUS_ATTR_OBJTYPE), type);
	ASSERT_NE(listed.tb[UBUS_ATTR_SIGNATURE], nullptr);
	EXPECT_EQ(blob_raw_len(listed.tb[UBUS_ATTR_SIGNATURE]), 0x20u);
}

TEST(BusBroker, ObjectRegistrationAndRemovalErrors)
{
	bustest::Broker broker;
	bustest::RawClient a(broker.path()), b(broker.path());
	a.send(frame(UBUS_MSG_ADD_OBJECT, 1, 0, "02000008 6f626a00 06000004"));
	Parsed added(a.next());
	ASSERT_EQ(Parsed(a.next()).status(), 0);
	uint32_t id = added.u32(UBUS_ATTR_OBJID);

	const StatusCase cases[] = {
		{"duplicate path", &b,
		 frame(UBUS_MSG_ADD_OBJECT, 1, 0, "02000008 6f626a00 06000004"),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"remove without id", &b, frame(UBUS_MSG_REMOVE_OBJECT, 2, 0, ""),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"remove unknown id", &b, frame(UBUS_MSG_REMOVE_OBJECT, 3, 0, "03000008 00000400"),
		 UBUS_STATUS_NOT_FOUND},
		{"remove someone else's", &b,
		 frame(UBUS_MSG_REMOVE_OBJECT, 4, 0, "03000008 " + hex32(id)),
		 UBUS_STATUS_PERMISSION_DENIED},
		{"greeting from a client", &b, frame(UBUS_MSG_HELLO, 5, 0, ""),
		 UBUS_STATUS_INVALID_COMMAND},
		{"monitor copy from a client", &b, frame(UBUS_MSG_MONITOR, 6, 0, ""),
		 UBUS_STATUS_INVALID_COMMAND},
		{"unknown type", &b, frame(99, 7, 0x1234, ""), UBUS_STATUS_INVALID_COMMAND},
		{"invoke without method", &b,
		 frame(UBUS_MSG_INVOKE, 8, id, "03000008 " + hex32(id)),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"invoke unknown object", &b,
		 frame(UBUS_MSG_INVOKE, 9, 0x500, "03000008 00000500 04000008 67657400"),
		 UBUS_STATUS_NOT_FOUND},
		{"unknown event method", &b,
		 frame(UBUS_MSG_INVOKE, 10, 1, "03000008 00000001 04000008 67657400"),
		 UBUS_STATUS_INVALID_COMMAND},
		{"event register without data", &b,
		 frame(UBUS_MSG_INVOKE, 11, 1,
		       "03000008 00000001 0400000d 72656769 73746572 00000000"),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"reserved object id", &b,
		 frame(UBUS_MSG_INVOKE, 12, 9, "03000008 00000009 04000008 67657400"),
		 UBUS_STATUS_NOT_FOUND},
	};
	expect_statuses(cases);

	// PING comes back as DATA with the same body, then STATUS 0.
	auto ping = frame(UBUS_MSG_PING, 42, 0xabcdef, "02000008 78797a00");
	b.send(ping);
	auto echo = b.next();
	EXPECT_EQ(to_hex(echo), to_hex(frame(UBUS_MSG_DATA, 42, 0xabcdef, "02000008 78797a00")));
	EXPECT_EQ(Parsed(b.next()).status(), 0);

	// The owner removes it: DATA with the id and the type that went away.
	a.send(frame(UBUS_MSG_REMOVE_OBJECT, 2, 0, "03000008 " + hex32(id)));
	Parsed removed(a.next());
	EXPECT_EQ(removed.u32(UBUS_ATTR_OBJID), id);
	EXPECT_NE(removed.tb[UBUS_ATTR_OBJTYPE], nullptr);
	EXPECT_EQ(Parsed(a.next()).status(), 0);
}

TEST(BusBroker, BadSignatureLeavesTheObjectUntyped)
{
	bustest::Broker broker;
	bustest::RawClient a(broker.path());
	// A signature member without a name.
	a.send(frame(UBUS_MSG_ADD_OBJECT, 1, 0, "02000008 6f626a00 0600000c 82000008 00000000"));
	Parsed added(a.next());
	EXPECT_NE(added.tb[UBUS_ATTR_OBJID], nullptr);
	EXPECT_EQ(added.tb[UBUS_ATTR_OBJTYPE], nullptr);
	EXPECT_EQ(Parsed(a.next()).status(), 0);
	a.send(frame(UBUS_MSG_LOOKUP, 2, 0, ""));
	EXPECT_EQ(Parsed(a.next()).type, UBUS_MSG_STATUS);
}

TEST(BusBroker, CallsAreForwardedWithTheCallerAndRepliesComeBack)
{
	bustest::Broker broker;
	bustest::RawClient owner(broker.path()), caller(broker.path());
	owner.send(frame(UBUS_MSG_ADD_OBJECT, 1, 0,
			 "02000009 64656d6f 00000000 06000020 8200001c 00036765 74000000 "
			 "85000010 00026964 00000000 00000005"));
	uint32_t id = Parsed(owner.next()).u32(UBUS_ATTR_OBJID);
	Parsed(owner.next());

	caller.send(frame(UBUS_MSG_INVOKE, 2, id,
			  "03000008 " + hex32(id) +
				  " 04000008 67657400 07000014 85000010 00026964 00000000 00000007"));
	EXPECT_EQ(to_hex(owner.next()),
		  to_hex(frame(UBUS_MSG_INVOKE, 2, caller.id(),
			       "03000008 " + hex32(id) +
				       " 04000008 67657400 0c000009 726f6f74 00000000 0d000009 "
				       "726f6f74 00000000 07000014 85000010 00026964 00000000 00000007")));

	std::string reply = "03000008 " + hex32(id) +
			    " 07000024 8700000d 00026f6b 00000000 01000000 85000010 00026964 "
			    "00000000 00000007";
	std::string status = "01000008 00000000 03000008 " + hex32(id);
	auto both = frame(UBUS_MSG_DATA, 2, caller.id(), reply);
	auto st = frame(UBUS_MSG_STATUS, 2, caller.id(), status);
	both.insert(both.end(), st.begin(), st.end());
	owner.send(both);
	EXPECT_EQ(to_hex(caller.next()), to_hex(frame(UBUS_MSG_DATA, 2, id, reply)));
	EXPECT_EQ(to_hex(caller.next()), to_hex(frame(UBUS_MSG_STATUS, 2, id, status)));

	// Replies that cannot be routed are dropped: no object id, an object
	// of someone else, a caller that does not exist, a STATUS without
	// status.
	owner.send(frame(UBUS_MSG_STATUS, 3, caller.id(), "01000008 00000000"));
	caller.send(frame(UBUS_MSG_STATUS, 3, owner.id(), status));
	owner.send(frame(UBUS_MSG_STATUS, 3, 0x999, status));
	owner.send(frame(UBUS_MSG_STATUS, 3, caller.id(), "03000008 " + hex32(id)));
	owner.send(frame(UBUS_MSG_DATA, 3, caller.id(), "03000008 " + hex32(id)));
	// The next thing either sees is the answer to a ping.
	caller.send(frame(UBUS_MSG_PING, 4, 0, ""));
	EXPECT_EQ(Parsed(caller.next()).type, UBUS_MSG_DATA);
	owner.send(frame(UBUS_MSG_PING, 4, 0, ""));
	EXPECT_EQ(Parsed(owner.next()).type, UBUS_MSG_DATA);
}

TEST(BusBroker, EventsGoToMatchingHandlersOfOtherClientsOnce)
{
	bustest::Broker broker;
	bustest::Peer peer(broker.path());
	bustest::EventRecorder exact, wild, both, all;
	int ret = 0;
	peer.run([&](struct ubus_context *ctx) {
		ret |= ubus_register_event_handler(ctx, &exact.ev, "demo.ev");
		ret |= ubus_register_event_handler(ctx, &wild.ev, "demo*");
		// Two patterns matching the same event: one delivery.
		ret |= ubus_register_event_handler(ctx, &both.ev, "demo.*");
		ret |= ubus_register_event_handler(ctx, &both.ev, "demo.ev");
		ret |= ubus_register_event_handler(ctx, &all.ev, "*");
	});
	ASSERT_EQ(ret, 0);

	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	bustest::EventRecorder own;
	// The sender's own handlers never hear its events.
	ASSERT_EQ(ubus_register_event_handler(ctx, &own.ev, "*"), 0);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "n", 1);
	EXPECT_EQ(ubus_send_event(ctx, "demo.ev", b.head), 0);
	EXPECT_EQ(ubus_send_event(ctx, "demo", nullptr), 0);
	EXPECT_EQ(ubus_send_event(ctx, "Demo.ev", nullptr), 0);
	EXPECT_EQ(ubus_send_event(ctx, "ubus.object.add", nullptr),
		  UBUS_STATUS_PERMISSION_DENIED);
	blob_buf_free(&b);
	// A marker the catch-all sees last.
	EXPECT_EQ(ubus_send_event(ctx, "zz.end", nullptr), 0);
	ASSERT_TRUE(testutil::wait_until([&] { return all.snapshot().size() == 4; }));

	EXPECT_EQ(exact.snapshot(), std::vector<std::string>{"demo.ev {\"n\":1}"});
	EXPECT_EQ(wild.snapshot(), (std::vector<std::string>{"demo.ev {\"n\":1}", "demo {}"}));
	EXPECT_EQ(both.snapshot(), std::vector<std::string>{"demo.ev {\"n\":1}"});
	EXPECT_EQ(all.snapshot(), (std::vector<std::string>{"demo.ev {\"n\":1}", "demo {}",
							     "Demo.ev {}", "zz.end {}"}));
	uloop_init();
	ubus_add_uloop(ctx);
	uloop_run_timeout(0);
	EXPECT_TRUE(own.snapshot().empty());
	ubus_free(ctx);
	uloop_done();
}

TEST(BusBroker, EventRegistrationAndSendErrors)
{
	bustest::Broker broker;
	bustest::RawClient a(broker.path()), b(broker.path());
	uint32_t mine = raw_add_handler(a, 1, "x");
	struct Case {
		const char *what;
		std::function<void(struct blob_buf *)> fill;
		const char *method;
		int status;
	};
	const Case cases[] = {
		{"no pattern", [&](struct blob_buf *d) { blobmsg_add_u32(d, "object", mine); },
		 "register", UBUS_STATUS_INVALID_ARGUMENT},
		{"object of a wrong type",
		 [](struct blob_buf *d) {
			 blobmsg_add_string(d, "object", "1");
			 blobmsg_add_string(d, "pattern", "x");
		 },
		 "register", UBUS_STATUS_INVALID_ARGUMENT},
		{"system object",
		 [](struct blob_buf *d) {
			 blobmsg_add_u32(d, "object", 1);
			 blobmsg_add_string(d, "pattern", "x");
		 },
		 "register", UBUS_STATUS_PERMISSION_DENIED},
		{"unknown object",
		 [](struct blob_buf *d) {
			 blobmsg_add_u32(d, "object", 5000);
			 blobmsg_add_string(d, "pattern", "x");
		 },
		 "register", UBUS_STATUS_NOT_FOUND},
		{"someone else's object",
		 [&](struct blob_buf *d) {
			 blobmsg_add_u32(d, "object", mine);
			 blobmsg_add_string(d, "pattern", "x");
		 },
		 "register", UBUS_STATUS_PERMISSION_DENIED},
		{"empty pattern",
		 [&](struct blob_buf *d) {
			 blobmsg_add_u32(d, "object", mine);
			 blobmsg_add_string(d, "pattern", "");
		 },
		 "register", UBUS_STATUS_PERMISSION_DENIED},
		{"send without name",
		 [](struct blob_buf *d) {
			 void *t = blobmsg_open_table(d, "data");
			 blobmsg_close_table(d, t);
		 },
		 "send", UBUS_STATUS_INVALID_ARGUMENT},
		{"send without data", [](struct blob_buf *d) { blobmsg_add_string(d, "id", "x"); },
		 "send", UBUS_STATUS_INVALID_ARGUMENT},
		{"send with an array as data",
		 [](struct blob_buf *d) {
			 blobmsg_add_string(d, "id", "x");
			 void *t = blobmsg_open_array(d, "data");
			 blobmsg_close_array(d, t);
		 },
		 "send", UBUS_STATUS_INVALID_ARGUMENT},
		{"send a name of the broker's",
		 [](struct blob_buf *d) {
			 blobmsg_add_string(d, "id", "ubus.x");
			 void *t = blobmsg_open_table(d, "data");
			 blobmsg_close_table(d, t);
		 },
		 "send", UBUS_STATUS_PERMISSION_DENIED},
	};
	uint16_t seq = 1;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		struct blob_buf d = {};
		blob_buf_init(&d, 0);
		c.fill(&d);
		// "someone else's" is tried by b; everything else by a as well.
		b.send(invoke_msg(seq, UBUS_SYSTEM_OBJECT_EVENT, c.method, d.head));
		blob_buf_free(&d);
		Parsed st(b.next());
		EXPECT_EQ(st.seq, seq);
		EXPECT_EQ(st.peer, uint32_t(UBUS_SYSTEM_OBJECT_EVENT));
		EXPECT_EQ(st.status(), c.status);
		seq++;
	}
}

TEST(BusBroker, EventDeliveriesAreNumberedAcrossClients)
{
	bustest::Broker broker;
	bustest::RawClient a(broker.path()), b(broker.path()), sender(broker.path());
	uint32_t ha = raw_add_handler(a, 1, "demo.*");
	uint32_t hb = raw_add_handler(b, 1, "demo.ev");
	sender.send(event_msg(1, "demo.ev", "{\"n\":1}"));
	EXPECT_EQ(to_hex(sender.next()), to_hex(frame(UBUS_MSG_STATUS, 1, 1, "01000008 00000000")));
	Parsed da(a.next()), db(b.next());
	// One counter for all deliveries: 1 and 2, in pattern order
	// ("demo." sorts before "demo.ev").
	EXPECT_EQ(to_hex(da.raw), to_hex(frame(UBUS_MSG_INVOKE, 1, 0,
					       "03000008 " + hex32(ha) +
						       " 0400000c 64656d6f 2e657600 07000010 "
						       "8500000c 00016e00 00000001")));
	EXPECT_EQ(db.seq, 2);
	EXPECT_EQ(db.u32(UBUS_ATTR_OBJID), hb);
	sender.send(event_msg(2, "demo.x", nullptr));
	EXPECT_EQ(to_hex(a.next()), to_hex(frame(UBUS_MSG_INVOKE, 3, 0,
						 "03000008 " + hex32(ha) +
							 " 0400000b 64656d6f 2e780000 07000004")));
}

TEST(BusBroker, ObjectEventsPrecedeTheReplyAndFollowTheOwnerAway)
{
	bustest::Broker broker;
	bustest::RawClient watcher(broker.path()), owner(broker.path());
	uint32_t hw = raw_add_handler(watcher, 1, "ubus.object.*");
	uint32_t ho = raw_add_handler(owner, 1, "ubus.object.add");

	owner.send(frame(UBUS_MSG_ADD_OBJECT, 3, 0, "02000009 64656d6f 00000000 06000004"));
	// The registrant's own handler hears of it before its reply.
	Parsed first(owner.next());
	EXPECT_EQ(first.type, UBUS_MSG_INVOKE);
	EXPECT_EQ(first.u32(UBUS_ATTR_OBJID), ho);
	Parsed data(owner.next());
	ASSERT_EQ(data.type, UBUS_MSG_DATA);
	uint32_t id = data.u32(UBUS_ATTR_OBJID);
	EXPECT_EQ(Parsed(owner.next()).status(), 0);
	owner.send(frame(UBUS_MSG_ADD_OBJECT, 4, 0, "02000009 64656d32 00000000 06000004"));
	Parsed(owner.next());
	uint32_t id2 = Parsed(owner.next()).u32(UBUS_ATTR_OBJID);
	Parsed(owner.next());

	Parsed add(watcher.next());
	EXPECT_EQ(to_hex(add.raw),
		  to_hex(frame(UBUS_MSG_INVOKE, add.seq, 0,
			       "03000008 " + hex32(hw) +
				       " 04000014 75627573 2e6f626a 6563742e 61646400 07000028 "
				       "85000010 00026964 00000000 " +
				       hex32(id) + " 83000011 00047061 74680000 64656d6f 00000000")));
	EXPECT_EQ(Parsed(watcher.next()).str(UBUS_ATTR_METHOD), "ubus.object.add");

	// The owner goes away: its objects are removed newest first.
	owner.send(frame(UBUS_MSG_PING, 9, 0, ""));
	Parsed(owner.next());
	Parsed(owner.next());
	close(owner.fd());
	Parsed r1(watcher.next()), r2(watcher.next());
	EXPECT_EQ(r1.str(UBUS_ATTR_METHOD), "ubus.object.remove");
	EXPECT_EQ(r1.data_json(),
		  "{\"id\":" + std::to_string(int32_t(id2)) + ",\"path\":\"dem2\"}");
	EXPECT_EQ(r2.data_json(), "{\"id\":" + std::to_string(int32_t(id)) + ",\"path\":\"demo\"}");
	EXPECT_EQ(r2.seq, r1.seq + 1);
}

// What hostile or broken clients send costs them their connection and
// nothing else.
TEST(BusBroker, MalformedStreamsCostOnlyTheirSender)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	bustest::NamedObject obj("svc", plain_methods, 1);
	int ret = -1;
	server.run([&](struct ubus_context *ctx) { ret = ubus_add_object(ctx, &obj.obj); });
	ASSERT_EQ(ret, 0);

	struct Case {
		const char *what;
		std::vector<uint8_t> bytes;
		bool disconnected;
	};
	std::vector<uint8_t> oversized = hex("00050001 00000000 00100008");
	const Case cases[] = {
		{"root shorter than its header", hex("00050001 00000000 00000003"), true},
		{"zero root", hex("00040001 00000000 00000000 00000000"), true},
		{"root over the limit", oversized, true},
		{"truncated message", hex("00040001 00000000 00000100 02000009"), false},
		{"garbage attributes", hex("00040001 00000000 0000000c ffffffff 00000010"), false},
		{"string without its NUL", hex("00040001 00000000 0000000c 02000008 64656d6f"),
		 false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		bustest::RawClient bad(broker.path());
		ASSERT_TRUE(bad.send(c.bytes));
		if (c.disconnected) {
			EXPECT_TRUE(bad.closed_by_peer());
		}
		// Everyone else carries on.
		struct ubus_context *ctx = ubus_connect(broker.path().c_str());
		ASSERT_NE(ctx, nullptr);
		uint32_t id;
		EXPECT_EQ(ubus_lookup_id(ctx, "svc", &id), 0);
		EXPECT_EQ(ubus_invoke(ctx, id, "get", nullptr, nullptr, nullptr, 2000), 0);
		ubus_free(ctx);
	}
}

TEST(BusBroker, ClientThatStopsReadingNeverStallsTheOthers)
{
	bustest::Broker broker;
	bustest::RawClient slow(broker.path());
	raw_add_handler(slow, 1, "flood");
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	std::string payload(8000, 'x');
	blobmsg_add_string(&b, "p", payload.c_str());
	// About 4 MB for a client that reads nothing: every send is still
	// answered at once.
	for (int i = 0; i < 500; i++)
		ASSERT_EQ(ubus_send_event(ctx, "flood", b.head), 0);
	blob_buf_free(&b);
	uint32_t id;
	EXPECT_EQ(ubus_lookup_id(ctx, "nothing", &id), UBUS_STATUS_NOT_FOUND);
	ubus_free(ctx);

	// What reached the slow client is whole messages, fewer than sent.
	int got = 0;
	for (;;) {
		auto m = slow.next(200);
		if (m.empty())
			break;
		ASSERT_EQ(bustest::frame_type(m), UBUS_MSG_INVOKE);
		ASSERT_EQ(Parsed(m).str(UBUS_ATTR_METHOD), "flood");
		got++;
	}
	EXPECT_GT(got, 0);
	EXPECT_LT(got, 500);
}

TEST(BusBroker, CallsToAVanishedOwnerAreNotAnswered)
{
	bustest::Broker broker;
	auto owner = std::make_unique<bustest::RawClient>(broker.path());
	uint32_t id = raw_add_object(*owner, 1, "02000008 6f626a00 06000004");
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	// Forwarded, then the owner leaves without answering: only the
	// caller's time-out ends the call.
	owner->send(frame(UBUS_MSG_PING, 2, 0, ""));
	EXPECT_EQ(ubus_invoke(ctx, id, "get", nullptr, nullptr, nullptr, 100),
		  UBUS_STATUS_TIMEOUT);
	EXPECT_EQ(Parsed(owner->next()).type, UBUS_MSG_DATA);
	Parsed(owner->next());
	EXPECT_EQ(Parsed(owner->next()).type, UBUS_MSG_INVOKE);
	owner.reset();
	// Once the broker has seen it go, the object is gone.
	EXPECT_TRUE(testutil::wait_until([&] {
		return ubus_invoke(ctx, id, "get", nullptr, nullptr, nullptr, 100) ==
		       UBUS_STATUS_NOT_FOUND;
	}));
	ubus_free(ctx);
}

TEST(BusBroker, ManyClientsCallOneObject)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	static const struct ubus_method methods[] = {
	    UBUS_METHOD_NOARG("echo",
	                      [](struct ubus_context *ctx, struct ubus_object *,
	                         struct ubus_request_data *req, const char *,
	                         struct blob_attr *msg) {
		                      struct blob_buf b = {};
		                      blob_buf_init(&b, 0);
		                      blob_put_raw(&b, blob_data(msg), blob_len(msg));
		                      ubus_send_reply(ctx, req, b.head);
		                      ubus_send_reply(ctx, req, b.head);
		                      blob_buf_free(&b);
		                      return int(UBUS_STATUS_NO_DATA);
	                      }),
	};
	bustest::NamedObject obj("echo", methods, 1);
	server.run([&](struct ubus_context *ctx) { ubus_add_object(ctx, &obj.obj); });
	std::vector<std::thread> callers;
	std::atomic<int> good{0};
	// Each caller checks that it gets its own answers, twice.
	auto caller = [&](int t) {
		struct ubus_context *ctx = ubus_connect(broker.path().c_str());
		uint32_t id;
		if (!ctx || ubus_lookup_id(ctx, "echo", &id) != 0) {
			ubus_free(ctx);
			return;
		}
		for (int i = 0; i < 50; i++) {
			struct blob_buf b = {};
			blob_buf_init(&b, 0);
			blobmsg_add_u32(&b, "n", uint32_t(t * 1000 + i));
			std::vector<std::string> got;
			int r = ubus_invoke(ctx, id, "echo", b.head, bustest::collect_json, &got,
					    5000);
			blob_buf_free(&b);
			std::string want = "{\"n\":" + std::to_string(t * 1000 + i) + "}";
			if (r == UBUS_STATUS_NO_DATA && got == std::vector<std::string>{want, want})
				good++;
		}
		ubus_free(ctx);
	};
	for (int t = 0; t < 4; t++)
		callers.emplace_back(caller, t);
	for (auto &th : callers)
		th.join();
	EXPECT_EQ(good, 200);
}

} // namespace

namespace {

double cpu_used()
{
	struct rusage ru;
	getrusage(RUSAGE_SELF, &ru);
	return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
	       (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(BusBroker, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning)
{
	bustest::Broker broker;
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(fd, 0);
	int lowest = dup(0);
	close(lowest);
	struct rlimit old;
	getrlimit(RLIMIT_NOFILE, &old);
	struct rlimit tight = old;
	tight.rlim_cur = rlim_t(lowest);
	ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strncpy(sun.sun_path, broker.path().c_str(), sizeof(sun.sun_path) - 1);
	int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
	double before = cpu_used();
	// The broker cannot take the connection now.
	std::vector<uint8_t> early = bustest::read_frame(fd, 300);
	double spent = cpu_used() - before;
	setrlimit(RLIMIT_NOFILE, &old);
	ASSERT_EQ(rc, 0);
	EXPECT_TRUE(early.empty());
	EXPECT_LT(spent, 0.1);
	// Once descriptors are there again, the client is greeted.
	std::vector<uint8_t> hello = bustest::read_frame(fd, 5000);
	EXPECT_EQ(bustest::frame_type(hello), UBUS_MSG_HELLO);
	close(fd);
}

} // namespace

namespace {

TEST(BusBroker, SubscribersHearTheOwnersNotificationsAndItsDeparture)
{
	bustest::Broker broker;
	bustest::RawClient owner(broker.path()), sub(broker.path());
	uint32_t t = raw_add_object(owner, 1, "02000008 6f626a00 06000004");
	uint32_t s = raw_add_object(sub, 1, "");
	uint32_t own_sub = raw_add_object(owner, 2, "");

	const StatusCase cases[] = {
		{"no target", &sub, frame(UBUS_MSG_SUBSCRIBE, 2, 0, "03000008 " + hex32(s)),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"unknown subscriber", &sub,
		 frame(UBUS_MSG_SUBSCRIBE, 3, 0, "03000008 00000500 08000008 " + hex32(t)),
		 UBUS_STATUS_NOT_FOUND},
		{"someone else's subscriber", &sub,
		 frame(UBUS_MSG_SUBSCRIBE, 4, 0,
		       "03000008 " + hex32(own_sub) + " 08000008 " + hex32(t)),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"unknown target", &sub,
		 frame(UBUS_MSG_SUBSCRIBE, 5, 0, "03000008 " + hex32(s) + " 08000008 00000001"),
		 UBUS_STATUS_NOT_FOUND},
		{"own target", &owner,
		 frame(UBUS_MSG_SUBSCRIBE, 3, 0,
		       "03000008 " + hex32(own_sub) + " 08000008 " + hex32(t)),
		 UBUS_STATUS_INVALID_ARGUMENT},
		{"not subscribed", &sub,
		 frame(UBUS_MSG_UNSUBSCRIBE, 6, 0,
		       "03000008 " + hex32(s) + " 08000008 " + hex32(t)),
		 UBUS_STATUS_NOT_FOUND},
		{"notify for someone else's object", &sub,
		 frame(UBUS_MSG_NOTIFY, 7, t, "03000008 " + hex32(t) + " 04000008 65760000"),
		 UBUS_STATUS_PERMISSION_DENIED},
	};
	expect_statuses(cases);

	std::string pair = "03000008 " + hex32(s) + " 08000008 " + hex32(t);
	sub.send(frame(UBUS_MSG_SUBSCRIBE, 8, 0, pair));
	EXPECT_EQ(Parsed(sub.next()).status(), 0);
	EXPECT_EQ(to_hex(owner.next()),
		  to_hex(frame(UBUS_MSG_NOTIFY, 1, 0,
			       "03000008 " + hex32(t) + " 09000005 01000000")));

	owner.send(frame(UBUS_MSG_NOTIFY, 5, t,
			 "03000008 " + hex32(t) +
				 " 04000008 65760000 07000010 8500000c 00016e00 00000001"));
	EXPECT_EQ(to_hex(owner.next()),
		  to_hex(frame(UBUS_MSG_STATUS, 5, t,
			       "03000008 " + hex32(t) + " 0b00000c 00000008 " + hex32(s) +
				       " 01000008 00000000")));
	EXPECT_EQ(to_hex(sub.next()),
		  to_hex(frame(UBUS_MSG_INVOKE, 5, owner.id(),
			       "03000008 " + hex32(s) +
				       " 04000008 65760000 0c000009 726f6f74 00000000 0d000009 "
				       "726f6f74 00000000 07000010 8500000c 00016e00 00000001")));
	// The subscriber's answer goes back to the notifier.
	sub.send(frame(UBUS_MSG_STATUS, 5, owner.id(), "01000008 00000000 03000008 " + hex32(s)));
	Parsed answer(owner.next());
	EXPECT_EQ(answer.peer, s);
	EXPECT_EQ(answer.status(), 0);

	sub.send(frame(UBUS_MSG_UNSUBSCRIBE, 9, 0, pair));
	EXPECT_EQ(Parsed(sub.next()).status(), 0);
	EXPECT_EQ(to_hex(owner.next()),
		  to_hex(frame(UBUS_MSG_NOTIFY, 2, 0,
			       "03000008 " + hex32(t) + " 09000005 00000000")));

	// Subscribed again, then the target goes away.
	sub.send(frame(UBUS_MSG_SUBSCRIBE, 10, 0, pair));
	Parsed(sub.next());
	EXPECT_EQ(Parsed(owner.next()).seq, 3);
	owner.send(frame(UBUS_MSG_REMOVE_OBJECT, 6, 0, "03000008 " + hex32(t)));
	EXPECT_EQ(Parsed(owner.next()).type, UBUS_MSG_DATA);
	Parsed inactive(owner.next());
	EXPECT_EQ(inactive.type, UBUS_MSG_NOTIFY);
	EXPECT_EQ(inactive.seq, 4);
	EXPECT_EQ(Parsed(owner.next()).status(), 0);
	EXPECT_EQ(to_hex(sub.next()), to_hex(frame(UBUS_MSG_UNSUBSCRIBE, 1, 0, pair)));
}

TEST(BusBroker, LastSubscriberLeavingTellsTheOwner)
{
	bustest::Broker broker;
	bustest::RawClient owner(broker.path());
	uint32_t t = raw_add_object(owner, 1, "02000008 6f626a00 06000004");
	{
		bustest::RawClient sub(broker.path());
		uint32_t s = raw_add_object(sub, 1, "");
		sub.send(frame(UBUS_MSG_SUBSCRIBE, 2, 0,
			       "03000008 " + hex32(s) + " 08000008 " + hex32(t)));
		EXPECT_EQ(Parsed(sub.next()).status(), 0);
		Parsed active(owner.next());
		ASSERT_NE(active.tb[UBUS_ATTR_ACTIVE], nullptr);
		EXPECT_EQ(blob_get_u8(active.tb[UBUS_ATTR_ACTIVE]), 1);
	}
	Parsed inactive(owner.next());
	EXPECT_EQ(inactive.type, UBUS_MSG_NOTIFY);
	ASSERT_NE(inactive.tb[UBUS_ATTR_ACTIVE], nullptr);
	EXPECT_EQ(blob_get_u8(inactive.tb[UBUS_ATTR_ACTIVE]), 0);
}

} // namespace

namespace {

TEST(BusBroker, MonitorSeesTrafficBothWays)
{
	bustest::Broker broker;
	bustest::RawClient mon(broker.path()), c(broker.path());
	mon.send(frame(UBUS_MSG_INVOKE, 1, 3, "03000008 00000003 04000008 61646400"));
	EXPECT_EQ(Parsed(mon.next()).status(), 0);
	// Its own answer is already watched, the copy following it.
	auto first = mon.next();
	ASSERT_EQ(bustest::frame_type(first), UBUS_MSG_MONITOR);
	EXPECT_EQ(bustest::frame_seq(first), 1);

	c.send(frame(UBUS_MSG_PING, 7, 0x55, "02000008 61626300"));
	struct Want {
		uint8_t send;
		uint32_t type;
	};
	const Want wants[] = {{0, UBUS_MSG_PING}, {1, UBUS_MSG_DATA}, {1, UBUS_MSG_STATUS}};
	uint16_t seq = 2;
	for (const Want &w : wants) {
		SCOPED_TRACE(w.type);
		auto m = mon.next();
		ASSERT_EQ(bustest::frame_type(m), UBUS_MSG_MONITOR);
		EXPECT_EQ(bustest::frame_seq(m), seq++);
		EXPECT_EQ(bustest::frame_peer(m), 0u);
		struct blob_attr *tb[6];
		blob_parse_untrusted(m.data() + 12, m.size() - 12, tb, nullptr, 6);
		ASSERT_TRUE(tb[0] && tb[1] && tb[2] && tb[3] && tb[4] && tb[5]);
		EXPECT_EQ(blob_get_u32(tb[0]), c.id());
		EXPECT_EQ(blob_get_u32(tb[1]), 0x55u);
		EXPECT_EQ(blob_get_u8(tb[2]), w.send);
		EXPECT_EQ(blob_get_u32(tb[3]), 7u);
		EXPECT_EQ(blob_get_u32(tb[4]), w.type);
	}
	mon.send(frame(UBUS_MSG_INVOKE, 2, 3, "03000008 00000003 0400000b 72656d6f 76650000"));
	// The request is still watched; then nothing more.
	EXPECT_EQ(bustest::frame_type(mon.next()), UBUS_MSG_MONITOR);
	EXPECT_EQ(Parsed(mon.next()).status(), 0);
	c.send(frame(UBUS_MSG_PING, 8, 0, ""));
	Parsed(c.next());
	Parsed(c.next());
	EXPECT_TRUE(mon.next(100).empty());

	mon.send(frame(UBUS_MSG_INVOKE, 3, 3, "03000008 00000003 04000008 78797a00"));
	EXPECT_EQ(Parsed(mon.next()).status(), UBUS_STATUS_METHOD_NOT_FOUND);
}

} // namespace

namespace {

// Well-framed messages with random types and attributes: the broker may
// answer or drop them, but must stay up for everyone.
TEST(BusBroker, RandomMessagesNeverBreakTheBroker)
{
	bustest::Broker broker;
	bustest::RawClient owner(broker.path());
	uint32_t obj = raw_add_object(owner, 1, "02000008 6f626a00 06000004");
	uint32_t handler = raw_add_handler(owner, 2, "*");

	uint32_t state = 12345;
	auto rnd = [&state](uint32_t n) {
		state = state * 1103515245u + 12345u;
		return (state >> 8) % n;
	};
	const uint32_t ids[] = {0, 1, 2, 3, 9, obj, handler, 0xffffffffu};
	bustest::RawClient fuzz(broker.path());
	for (int i = 0; i < 3000; i++) {
		std::vector<uint8_t> body;
		int nattr = int(rnd(5));
		for (int a = 0; a < nattr; a++) {
			uint32_t id = rnd(16);
			std::vector<uint8_t> payload;
			switch (rnd(4)) {
			case 0: {
				uint32_t v = htobe32(ids[rnd(8)]);
				auto *p = reinterpret_cast<uint8_t *>(&v);
				payload.assign(p, p + 4);
				break;
			}
			case 1:
				for (const char *s : {"register", "send", "add", "get", "x*", ""}) {
					if (rnd(6) == 0) {
						payload.assign(s, s + strlen(s) + 1);
						break;
					}
				}
				break;
			case 2: {
				struct blob_buf b = {};
				blob_buf_init(&b, 0);
				blobmsg_add_u32(&b, "object", ids[rnd(8)]);
				const char *key = rnd(2) ? "pattern" : "id";
				blobmsg_add_string(&b, key, rnd(2) ? "*" : "e");
				void *t = blobmsg_open_table(&b, "data");
				blobmsg_close_table(&b, t);
				auto *p = static_cast<uint8_t *>(blob_data(b.head));
				payload.assign(p, p + blob_len(b.head));
				blob_buf_free(&b);
				break;
			}
			default:
				for (uint32_t n = rnd(24); n; n--)
					payload.push_back(uint8_t(rnd(256)));
			}
			uint32_t w = htobe32(id << 24 | uint32_t(payload.size() + 4));
			auto *wp = reinterpret_cast<uint8_t *>(&w);
			body.insert(body.end(), wp, wp + 4);
			body.insert(body.end(), payload.begin(), payload.end());
			body.resize(blob_pad4(body.size()));
		}
		// Sized at once: GCC 12 at -O3 sees an insert behind the 12 bytes
		// as out of bounds.
		std::vector<uint8_t> m(12 + body.size());
		ubus_msghdr_fill(m.data(), uint8_t(rnd(13)), uint16_t(rnd(65536)), ids[rnd(8)]);
		uint32_t root = htobe32(uint32_t(body.size() + 4));
		memcpy(m.data() + 8, &root, 4);
		if (!body.empty())
			memcpy(m.data() + 12, body.data(), body.size());
		ASSERT_TRUE(fuzz.send(m));
		// Keep its queue moving now and then.
		if (i % 64 == 0) {
			while (!fuzz.next(0).empty())
				;
		}
	}
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	uint32_t id;
	EXPECT_EQ(ubus_lookup_id(ctx, "obj", &id), 0);
	EXPECT_EQ(id, obj);
	EXPECT_EQ(ubus_send_event(ctx, "still.here", nullptr), 0);
	ubus_free(ctx);
}

} // namespace
