#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
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

// The session the captures were taken from: object "demo" with id 087fee8f
// and type 31bb3252, event handler object d4b5fe72, caller client 559d43b3.
constexpr uint32_t demo_id = 0x087fee8f;
constexpr uint32_t demo_type_id = 0x31bb3252;
constexpr uint32_t handler_id = 0xd4b5fe72;
constexpr uint32_t caller_id = 0x559d43b3;

int echo_get(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
	     const char *, struct blob_attr *msg)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u8(&b, "ok", 1);
	blob_put_raw(&b, blob_data(msg), blob_len(msg));
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

const struct blobmsg_policy get_policy[] = {{"id", BLOBMSG_TYPE_INT32}};
const struct ubus_method demo_methods[] = {UBUS_METHOD("get", echo_get, get_policy)};

std::string status_hex(int code)
{
	return "01000008 " + hex32(uint32_t(code));
}

// Answers like the broker: ADD_OBJECT gets the ids of the capture, every
// request a STATUS 0 with its own seq and peer.
std::vector<uint8_t> broker_like(const std::vector<uint8_t> &m)
{
	uint16_t seq = bustest::frame_seq(m);
	uint32_t peer = bustest::frame_peer(m);
	std::vector<uint8_t> out;
	if (bustest::frame_type(m) == UBUS_MSG_ADD_OBJECT) {
		bool has_sig = m.size() > 12;
		std::string attrs = "03000008 " + hex32(has_sig ? demo_id : handler_id);
		if (has_sig)
			attrs += " 05000008 " + hex32(demo_type_id);
		out = frame(UBUS_MSG_DATA, seq, peer, attrs);
	}
	if (bustest::frame_type(m) == UBUS_MSG_STATUS || bustest::frame_type(m) == UBUS_MSG_DATA)
		return out;
	std::vector<uint8_t> st = frame(UBUS_MSG_STATUS, seq, peer, status_hex(0));
	out.insert(out.end(), st.begin(), st.end());
	return out;
}

TEST(BusClientWire, GreetingGivesTheClientIdInHostOrder)
{
	bustest::FakeBroker fake(0x7efc82fa, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->local_id, 0x7efc82fau);
	ubus_free(ctx);
}

TEST(BusClientWire, ServerSessionMatchesTheCapture)
{
	bustest::FakeBroker fake(0xd3bd0938, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	bustest::NamedObject demo("demo", demo_methods, 1);
	ASSERT_EQ(ubus_add_object(ctx, &demo.obj), 0);
	EXPECT_EQ(demo.obj.id, demo_id);
	EXPECT_EQ(demo.type.id, demo_type_id);
	bustest::EventRecorder rec;
	ASSERT_EQ(ubus_register_event_handler(ctx, &rec.ev, "demo.*"), 0);
	EXPECT_EQ(rec.ev.obj.id, handler_id);

	auto got = fake.received();
	ASSERT_EQ(got.size(), 3u);
	EXPECT_EQ(to_hex(got[0]),
		  to_hex(hex("00060001 00000000 00000030 02000009 64656d6f 00000000 06000020 "
			     "8200001c 00036765 74000000 85000010 00026964 00000000 00000005")));
	EXPECT_EQ(to_hex(got[1]), to_hex(hex("00060002 00000000 00000004")));
	EXPECT_EQ(to_hex(got[2]),
		  to_hex(hex("00050003 00000001 0000004c 03000008 00000001 0400000d 72656769 "
			     "73746572 00000000 07000030 85000014 00066f62 6a656374 00000000 "
			     "d4b5fe72 83000017 00077061 74746572 6e000000 64656d6f 2e2a0000")));

	// The broker forwards a call of demo.get {"id":7} from 559d43b3.
	uloop_init();
	ubus_add_uloop(ctx);
	fake.inject(hex("00050002 559d43b3 00000040 03000008 087fee8f 04000008 67657400 "
			"0c000009 726f6f74 00000000 0d000009 726f6f74 00000000 07000014 "
			"85000010 00026964 00000000 00000007"));
	while (!fake.wait_received(5, 0))
		uloop_run_timeout(100);
	got = fake.received();
	EXPECT_EQ(to_hex(got[3]),
		  to_hex(hex("00020002 559d43b3 00000030 03000008 087fee8f 07000024 8700000d "
			     "00026f6b 00000000 01000000 85000010 00026964 00000000 00000007")));
	EXPECT_EQ(to_hex(got[4]),
		  to_hex(hex("00010002 559d43b3 00000014 01000008 00000000 03000008 087fee8f")));

	// A method the object does not have.
	fake.inject(frame(UBUS_MSG_INVOKE, 3, caller_id,
			  "03000008 087fee8f 04000009 6e6f7065 00000000 07000004"));
	while (!fake.wait_received(6, 0))
		uloop_run_timeout(100);
	EXPECT_EQ(to_hex(fake.received()[5]),
		  to_hex(hex("00010003 559d43b3 00000014 01000008 00000003 03000008 087fee8f")));

	// A call without DATA is refused with the caller's seq and peer.
	fake.inject(frame(UBUS_MSG_INVOKE, 4, caller_id, "03000008 087fee8f 04000008 67657400"));
	while (!fake.wait_received(7, 0))
		uloop_run_timeout(100);
	EXPECT_EQ(to_hex(fake.received()[6]),
		  to_hex(hex("00010004 559d43b3 00000014 01000008 00000002 03000008 087fee8f")));

	ubus_free(ctx);
	uloop_done();
}

TEST(BusClientWire, CallerRequestsMatchTheCapture)
{
	struct Case {
		const char *what;
		std::function<void(struct ubus_context *)> call;
		const char *expected;
	};
	static const Case cases[] = {
		{"lookup exact",
		 [](struct ubus_context *ctx) { ubus_lookup(ctx, "demo", nullptr, nullptr); },
		 "00040001 00000000 00000010 02000009 64656d6f 00000000"},
		{"lookup wildcard",
		 [](struct ubus_context *ctx) { ubus_lookup(ctx, "de*", nullptr, nullptr); },
		 "00040001 00000000 0000000c 02000008 64652a00"},
		{"lookup all",
		 [](struct ubus_context *ctx) { ubus_lookup(ctx, nullptr, nullptr, nullptr); },
		 "00040001 00000000 00000004"},
		{"invoke with arguments",
		 [](struct ubus_context *ctx) {
			 struct blob_buf b = {};
			 blob_buf_init(&b, 0);
			 blobmsg_add_u32(&b, "id", 7);
			 ubus_invoke(ctx, demo_id, "get", b.head, nullptr, nullptr, 1000);
			 blob_buf_free(&b);
		 },
		 "00050001 087fee8f 00000028 03000008 087fee8f 04000008 67657400 07000014 "
		 "85000010 00026964 00000000 00000007"},
		{"invoke without arguments",
		 [](struct ubus_context *ctx) {
			 ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 1000);
		 },
		 "00050001 087fee8f 00000018 03000008 087fee8f 04000008 67657400 07000004"},
		{"event send",
		 [](struct ubus_context *ctx) {
			 struct blob_buf b = {};
			 blob_buf_init(&b, 0);
			 blobmsg_add_u32(&b, "n", 1);
			 ubus_send_event(ctx, "demo.ev", b.head);
			 blob_buf_free(&b);
		 },
		 "00050001 00000001 00000048 03000008 00000001 04000009 73656e64 00000000 "
		 "07000030 83000014 00026964 00000000 64656d6f 2e657600 82000018 00046461 "
		 "74610000 8500000c 00016e00 00000001"},
		{"asynchronous invoke: the same bytes",
		 [](struct ubus_context *ctx) {
			 struct blob_buf b = {};
			 struct ubus_request req;
			 blob_buf_init(&b, 0);
			 blobmsg_add_u32(&b, "id", 7);
			 ubus_invoke_async(ctx, demo_id, "get", b.head, &req);
			 ubus_abort_request(ctx, &req);
			 blob_buf_free(&b);
		 },
		 "00050001 087fee8f 00000028 03000008 087fee8f 04000008 67657400 07000014 "
		 "85000010 00026964 00000000 00000007"},
		{"remove object",
		 [](struct ubus_context *ctx) {
			 struct ubus_object obj = {};
			 obj.id = demo_id;
			 ubus_remove_object(ctx, &obj);
		 },
		 "00070001 00000000 0000000c 03000008 087fee8f"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		bustest::FakeBroker fake(caller_id, broker_like);
		struct ubus_context *ctx = ubus_connect(fake.path().c_str());
		ASSERT_NE(ctx, nullptr);
		c.call(ctx);
		fake.wait_received(1);
		auto got = fake.received();
		ASSERT_EQ(got.size(), 1u);
		EXPECT_EQ(to_hex(got[0]), to_hex(hex(c.expected)));
		ubus_free(ctx);
	}
}

TEST(BusClient, InvokeHandsEveryDataReplyToTheCallbackThenReturnsTheStatus)
{
	bustest::FakeBroker fake(caller_id, [](const std::vector<uint8_t> &m) {
		uint16_t seq = bustest::frame_seq(m);
		std::vector<uint8_t> out;
		auto add = [&](const std::vector<uint8_t> &f) {
			out.insert(out.end(), f.begin(), f.end());
		};
		add(frame(UBUS_MSG_DATA, seq, demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000001"));
		// Without a DATA attribute: not handed on.
		add(frame(UBUS_MSG_DATA, seq, demo_id, "03000008 087fee8f"));
		// Another request's reply: not ours.
		add(frame(UBUS_MSG_DATA, uint16_t(seq + 1), demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000009"));
		add(frame(UBUS_MSG_DATA, seq, demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000002"));
		add(frame(UBUS_MSG_STATUS, seq, demo_id, status_hex(UBUS_STATUS_NO_DATA)));
		// After the status: too late.
		add(frame(UBUS_MSG_DATA, seq, demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000003"));
		return out;
	});
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	std::vector<std::string> replies;
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, bustest::collect_json, &replies, 2000),
		  UBUS_STATUS_NO_DATA);
	EXPECT_EQ(replies, (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
	// The late reply is dropped, and the next request is numbered on.
	replies.clear();
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, bustest::collect_json, &replies, 2000),
		  UBUS_STATUS_NO_DATA);
	EXPECT_EQ(replies, (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
	EXPECT_EQ(bustest::frame_seq(fake.received()[1]), 2);
	ubus_free(ctx);
}

TEST(BusClient, SilentObjectTimesOutAndItsLateRepliesAreIgnored)
{
	bustest::FakeBroker fake(caller_id, nullptr);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	std::vector<std::string> replies;
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, bustest::collect_json, &replies, 50),
		  UBUS_STATUS_TIMEOUT);
	fake.inject(frame(UBUS_MSG_DATA, 1, demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000001"));
	fake.inject(frame(UBUS_MSG_STATUS, 1, demo_id, status_hex(0)));
	// A negative time-out gives up at once, after sending.
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, bustest::collect_json, &replies, -1),
		  UBUS_STATUS_TIMEOUT);
	EXPECT_TRUE(replies.empty());
	EXPECT_TRUE(fake.wait_received(2));
	ubus_free(ctx);
}

TEST(BusClient, RequestsTooBigForTheBusAreRefusedUnsent)
{
	bustest::FakeBroker fake(caller_id, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	std::string big(UBUS_MAX_MSGLEN, 'x');
	blobmsg_add_string(&b, "s", big.c_str());
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", b.head, nullptr, nullptr, 1000),
		  UBUS_STATUS_INVALID_ARGUMENT);
	blob_buf_free(&b);
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 1000), 0);
	EXPECT_EQ(fake.received().size(), 1u);
	ubus_free(ctx);
}

TEST(BusClient, LookupOfAPathWithoutTypeFindsNoId)
{
	// The broker answers an untyped object with a bare STATUS 0.
	bustest::FakeBroker fake(caller_id, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	uint32_t id = 12345;
	EXPECT_EQ(ubus_lookup_id(ctx, "untyped", &id), UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(id, 12345u);
	ubus_free(ctx);
}

TEST(BusClient, BrokerGoingAwayFailsTheCallAndReportsTheLossOnce)
{
	static int lost;
	lost = 0;
	bustest::FakeBroker fake(caller_id, nullptr);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	ctx->connection_lost = [](struct ubus_context *) { lost++; };
	fake.hang_up();
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 0),
		  UBUS_STATUS_CONNECTION_FAILED);
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 0),
		  UBUS_STATUS_CONNECTION_FAILED);
	EXPECT_EQ(lost, 1);
	ubus_free(ctx);
}

// Incoming calls and events that arrive while a synchronous call waits are
// queued and handled afterwards, in arrival order.
struct DeferralCase {
	bool registered;
};

class BusClientDeferral : public ::testing::TestWithParam<DeferralCase> {};

TEST_P(BusClientDeferral, EventsDuringACallWaitForItAndKeepTheirOrder)
{
	static std::vector<std::string> *log;
	std::vector<std::string> events;
	log = &events;
	bustest::FakeBroker fake(caller_id, [](const std::vector<uint8_t> &m) {
		std::vector<uint8_t> out = broker_like(m);
		if (bustest::frame_type(m) != UBUS_MSG_INVOKE ||
		    bustest::frame_peer(m) != demo_id)
			return out;
		uint16_t seq = bustest::frame_seq(m);
		std::vector<uint8_t> r;
		auto add = [&](const std::vector<uint8_t> &f) {
			r.insert(r.end(), f.begin(), f.end());
		};
		// Two events for our handler, then the reply.
		add(frame(UBUS_MSG_INVOKE, 1, 0,
			  "03000008 d4b5fe72 04000008 652e3100 07000010 8500000c 00016e00 "
			  "00000001"));
		add(frame(UBUS_MSG_INVOKE, 2, 0,
			  "03000008 d4b5fe72 04000008 652e3200 07000010 8500000c 00016e00 "
			  "00000002"));
		add(frame(UBUS_MSG_DATA, seq, demo_id,
			  "03000008 087fee8f 07000010 8500000c 00016e00 00000000"));
		add(frame(UBUS_MSG_STATUS, seq, demo_id, status_hex(0)));
		return r;
	});
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	uloop_init();
	if (GetParam().registered)
		ubus_add_uloop(ctx);
	struct ubus_event_handler ev = {};
	ev.cb = [](struct ubus_context *, struct ubus_event_handler *, const char *type,
		   struct blob_attr *) { log->push_back(type); };
	ASSERT_EQ(ubus_register_event_handler(ctx, &ev, "e.*"), 0);

	auto during = [](struct ubus_request *, int, struct blob_attr *) {
		log->push_back("reply");
	};
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, during, nullptr, 2000), 0);
	if (GetParam().registered) {
		// Handled at the loop's next turn, not inside the call.
		EXPECT_EQ(events, std::vector<std::string>{"reply"});
		uloop_run_timeout(0);
	}
	EXPECT_EQ(events, (std::vector<std::string>{"reply", "e.1", "e.2"}));
	ubus_free(ctx);
	uloop_done();
}

INSTANTIATE_TEST_SUITE_P(Socket, BusClientDeferral,
			 ::testing::Values(DeferralCase{true}, DeferralCase{false}),
			 [](const auto &info) {
				 return info.param.registered ? std::string("InLoop")
							      : std::string("Standalone");
			 });

TEST(BusClient, DataForARequestWhoseCallbackRunsIsHeldBackInArrivalOrder)
{
	static std::vector<std::string> *log;
	static struct ubus_context *ctx;
	std::vector<std::string> seen;
	log = &seen;
	bustest::FakeBroker fake(caller_id, [](const std::vector<uint8_t> &m) {
		uint16_t seq = bustest::frame_seq(m);
		if (bustest::frame_type(m) != UBUS_MSG_LOOKUP)
			return frame(UBUS_MSG_STATUS, seq, bustest::frame_peer(m), status_hex(0));
		std::vector<uint8_t> r;
		for (const char *p : {"61000000", "62000000", "63000000"}) {
			auto f = frame(UBUS_MSG_DATA, seq, 0,
				       std::string("02000006 ") + p +
					       " 03000008 00000500 05000008 00000600 06000004");
			r.insert(r.end(), f.begin(), f.end());
		}
		auto st = frame(UBUS_MSG_STATUS, seq, 0, status_hex(0));
		r.insert(r.end(), st.begin(), st.end());
		return r;
	});
	ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ubus_lookup(
			  ctx, "*",
			  [](struct ubus_context *, struct ubus_object_data *o, void *) {
				  log->push_back(o->path);
				  if (log->size() == 1) {
					  EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr,
								nullptr, nullptr, 2000),
						    0);
				  }
			  },
			  nullptr),
		  0);
	EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
	ubus_free(ctx);
}

TEST(BusClient, IncomingCallWithoutAnswerExpectedGetsNoStatus)
{
	static int calls;
	calls = 0;
	bustest::FakeBroker fake(0xd3bd0938, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	struct ubus_event_handler ev = {};
	ev.cb = [](struct ubus_context *, struct ubus_event_handler *, const char *,
		   struct blob_attr *) { calls++; };
	ASSERT_EQ(ubus_register_event_handler(ctx, &ev, "demo.*"), 0);
	uloop_init();
	ubus_add_uloop(ctx);
	// An event delivery (peer 0) and a call flagged NO_REPLY.
	fake.inject(frame(UBUS_MSG_INVOKE, 7, 0,
			  "03000008 d4b5fe72 0400000c 64656d6f 2e657600 07000004"));
	fake.inject(frame(UBUS_MSG_INVOKE, 8, caller_id,
			  "0a000005 01000000 03000008 d4b5fe72 0400000c 64656d6f 2e657600 "
			  "07000004"));
	while (calls < 2)
		uloop_run_timeout(100);
	// The next thing written is the lookup, not a status.
	ubus_lookup(ctx, "x", nullptr, nullptr);
	auto got = fake.received();
	ASSERT_EQ(got.size(), 3u);
	EXPECT_EQ(bustest::frame_type(got[2]), UBUS_MSG_LOOKUP);
	ubus_free(ctx);
	uloop_done();
}

TEST(BusClient, DeferredCallIsAnsweredWhenCompleted)
{
	static struct ubus_request_data held;
	bustest::FakeBroker fake(0xd3bd0938, broker_like);
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	static const struct ubus_method methods[] = {
	    UBUS_METHOD_NOARG("slow",
	                      [](struct ubus_context *c, struct ubus_object *,
	                         struct ubus_request_data *req, const char *,
	                         struct blob_attr *msg) {
		                      ubus_send_reply(c, req, nullptr);
		                      ubus_defer_request(c, req, &held);
		                      (void)msg;
		                      return 99;
	                      }),
	};
	bustest::NamedObject obj("slow", methods, 1);
	ASSERT_EQ(ubus_add_object(ctx, &obj.obj), 0);
	uloop_init();
	ubus_add_uloop(ctx);
	fake.inject(frame(UBUS_MSG_INVOKE, 5, caller_id,
			  "03000008 087fee8f 04000009 736c6f77 00000000 07000004"));
	// The reply goes out on its own; the status waits for completion.
	while (!fake.wait_received(2, 0))
		uloop_run_timeout(100);
	EXPECT_EQ(to_hex(fake.received()[1]),
		  to_hex(hex("00020005 559d43b3 00000010 03000008 087fee8f 07000004")));
	ubus_complete_deferred_request(ctx, &held, UBUS_STATUS_NOT_SUPPORTED);
	ASSERT_TRUE(fake.wait_received(3));
	EXPECT_EQ(to_hex(fake.received()[2]),
		  to_hex(hex("00010005 559d43b3 00000014 01000008 00000008 03000008 087fee8f")));
	ubus_free(ctx);
	uloop_done();
}

// With the real broker.

TEST(BusClient, InvokeReachesAnObjectOfAnotherClient)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	ASSERT_TRUE(server.connected());
	bustest::NamedObject demo("demo", demo_methods, 1);
	int ret = -1;
	server.run([&](struct ubus_context *ctx) { ret = ubus_add_object(ctx, &demo.obj); });
	ASSERT_EQ(ret, 0);

	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	uint32_t id = 0;
	ASSERT_EQ(ubus_lookup_id(ctx, "demo", &id), 0);
	EXPECT_EQ(id, demo.obj.id);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", 7);
	std::vector<std::string> replies;
	EXPECT_EQ(ubus_invoke(ctx, id, "get", b.head, bustest::collect_json, &replies, 1000), 0);
	EXPECT_EQ(replies, std::vector<std::string>{"{\"ok\":true,\"id\":7}"});
	EXPECT_EQ(ubus_invoke(ctx, id, "nope", b.head, bustest::collect_json, &replies, 1000),
		  UBUS_STATUS_METHOD_NOT_FOUND);
	blob_buf_free(&b);
	server.run([&](struct ubus_context *c) { ret = ubus_remove_object(c, &demo.obj); });
	EXPECT_EQ(ret, 0);
	EXPECT_EQ(demo.obj.id, 0u);
	// The type went with its last object.
	EXPECT_EQ(demo.type.id, 0u);
	EXPECT_EQ(ubus_invoke(ctx, id, "get", nullptr, nullptr, nullptr, 1000),
		  UBUS_STATUS_NOT_FOUND);
	ubus_free(ctx);
}

int name_get(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
             const char *, struct blob_attr *)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "name", obj->name);
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

const struct blobmsg_policy ab_policy[] = {{"a", BLOBMSG_TYPE_INT32}, {"b", BLOBMSG_TYPE_STRING}};
const struct ubus_method name_methods[] = {UBUS_METHOD_MASK("get", name_get, ab_policy, 1 << 1)};

TEST(BusClient, CallsReachTheirOwnObjectAfterOthersOfTheClientLeave)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	const char *names[] = {"o0", "o1", "o2", "o3", "o4", "o5"};
	std::vector<std::unique_ptr<bustest::NamedObject>> objs;
	for (const char *n : names)
		objs.push_back(std::make_unique<bustest::NamedObject>(n, name_methods, 1));
	server.run([&](struct ubus_context *ctx) {
		for (auto &o : objs)
			ASSERT_EQ(ubus_add_object(ctx, &o->obj), 0);
		// Half of them leave; the others must still be found by id.
		for (int i : {0, 2, 5})
			ASSERT_EQ(ubus_remove_object(ctx, &objs[i]->obj), 0);
	});

	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	for (int i : {1, 3, 4}) {
		SCOPED_TRACE(names[i]);
		std::vector<std::string> replies;
		EXPECT_EQ(ubus_invoke(ctx, objs[i]->obj.id, "get", nullptr, bustest::collect_json,
		                      &replies, 1000),
		          0);
		EXPECT_EQ(replies,
		          std::vector<std::string>{"{\"name\":\"" + std::string(names[i]) + "\"}"});
	}
	// The mask advertises only the second argument.
	std::string sig;
	ubus_lookup(
	    ctx, "o1",
	    [](struct ubus_context *, struct ubus_object_data *o, void *priv) {
		    char *json = blobmsg_format_json(o->signature, true);
		    *static_cast<std::string *>(priv) = json ? json : "";
		    free(json);
	    },
	    &sig);
	EXPECT_EQ(sig, "{\"get\":{\"b\":3}}");
	ubus_free(ctx);
}

TEST(BusClient, CallingOneselfWaitsForTheTimeOutThenRunsTheHandler)
{
	static int calls;
	calls = 0;
	bustest::Broker broker;
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	static const struct ubus_method methods[] = {
	    UBUS_METHOD_NOARG("ping",
	                      [](struct ubus_context *, struct ubus_object *,
	                         struct ubus_request_data *, const char *, struct blob_attr *) {
		                      calls++;
		                      return 0;
	                      }),
	};
	bustest::NamedObject obj("self", methods, 1);
	ASSERT_EQ(ubus_add_object(ctx, &obj.obj), 0);
	EXPECT_EQ(ubus_invoke(ctx, obj.obj.id, "ping", nullptr, nullptr, nullptr, 100),
		  UBUS_STATUS_TIMEOUT);
	// Not registered with a loop: the queued call ran when the call returned.
	EXPECT_EQ(calls, 1);
	ubus_free(ctx);
}

TEST(BusClient, LostBrokerEndsTheRunningLoop)
{
	static bustest::Broker *broker;
	auto owned = std::make_unique<bustest::Broker>();
	broker = owned.get();
	uloop_init();
	struct ubus_context *ctx = ubus_connect(broker->path().c_str());
	ASSERT_NE(ctx, nullptr);
	ubus_add_uloop(ctx);
	struct uloop_timeout stop = {};
	stop.cb = [](struct uloop_timeout *) { broker->stop(); };
	uloop_timeout_set(&stop, 0);
	struct uloop_timeout guard = {};
	static bool guard_fired;
	guard_fired = false;
	guard.cb = [](struct uloop_timeout *) {
		guard_fired = true;
		uloop_end();
	};
	uloop_timeout_set(&guard, 10000);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_FALSE(guard_fired);
	EXPECT_FALSE(ctx->sock.registered);
	uloop_timeout_cancel(&guard);
	ubus_free(ctx);
	uloop_done();
}

} // namespace

namespace {

TEST(BusClient, ReplyTooBigForTheBusIsRefusedAndTheConnectionKept)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	static const struct ubus_method methods[] = {
	    UBUS_METHOD_NOARG("big",
	                      [](struct ubus_context *ctx, struct ubus_object *,
	                         struct ubus_request_data *req, const char *, struct blob_attr *) {
		                      struct blob_buf b = {};
		                      blob_buf_init(&b, 0);
		                      std::string big(UBUS_MAX_MSGLEN, 'x');
		                      blobmsg_add_string(&b, "s", big.c_str());
		                      int ret = ubus_send_reply(ctx, req, b.head);
		                      blob_buf_free(&b);
		                      return ret;
	                      }),
	};
	bustest::NamedObject o("big", methods, 1);
	int ret = -1;
	server.run([&](struct ubus_context *ctx) { ret = ubus_add_object(ctx, &o.obj); });
	ASSERT_EQ(ret, 0);
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	std::vector<std::string> replies;
	EXPECT_EQ(ubus_invoke(ctx, o.obj.id, "big", nullptr, bustest::collect_json, &replies, 5000),
		  UBUS_STATUS_INVALID_ARGUMENT);
	EXPECT_TRUE(replies.empty());
	// The owner is still there.
	EXPECT_EQ(ubus_invoke(ctx, o.obj.id, "big", nullptr, bustest::collect_json, &replies, 5000),
		  UBUS_STATUS_INVALID_ARGUMENT);
	ubus_free(ctx);
}

} // namespace

namespace {

TEST(BusClient, LossSeenBeforeTheLoopRunsStillEndsIt)
{
	bustest::FakeBroker fake(caller_id, nullptr);
	uloop_init();
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	ubus_add_uloop(ctx);
	fake.hang_up();
	// Start-up calls find the broker gone; the end they ask for comes
	// before any loop runs...
	EXPECT_EQ(ubus_lookup_id(ctx, "x", nullptr), UBUS_STATUS_CONNECTION_FAILED);
	// ...and is asked for again once one does.
	static bool guard_fired;
	guard_fired = false;
	struct uloop_timeout guard = {};
	guard.cb = [](struct uloop_timeout *) {
		guard_fired = true;
		uloop_end();
	};
	uloop_timeout_set(&guard, 10000);
	uloop_run();
	EXPECT_FALSE(guard_fired);
	uloop_timeout_cancel(&guard);
	ubus_free(ctx);
	uloop_done();
}

} // namespace

namespace {

TEST(BusClient, TimersWaitWhileACallWaits)
{
	static bool fired;
	fired = false;
	bustest::FakeBroker fake(caller_id, nullptr);
	uloop_init();
	struct ubus_context *ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(ctx, nullptr);
	ubus_add_uloop(ctx);
	struct uloop_timeout t = {};
	t.cb = [](struct uloop_timeout *) { fired = true; };
	uloop_timeout_set(&t, 0);
	EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 50),
		  UBUS_STATUS_TIMEOUT);
	EXPECT_FALSE(fired);
	uloop_run_timeout(0);
	EXPECT_TRUE(fired);
	ubus_free(ctx);
	uloop_done();
}

} // namespace

namespace {

// A context freed by another watcher's callback while a hang-up of its
// socket is already fetched in the same batch must not be called.
TEST(BusClient, FreeingAContextDropsItsFetchedHangUp)
{
	struct Freer {
		struct uloop_fd fd;
		struct ubus_context *ctx;
	};
	static Freer freer;
	bustest::FakeBroker fake(caller_id, nullptr);
	uloop_init();
	freer = {};
	freer.ctx = ubus_connect(fake.path().c_str());
	ASSERT_NE(freer.ctx, nullptr);
	freer.ctx->connection_lost = [](struct ubus_context *) {};
	ubus_add_uloop(freer.ctx);
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
	freer.fd.fd = sv[0];
	freer.fd.cb = [](struct uloop_fd *u, unsigned int) {
		Freer *f = container_of(u, Freer, fd);
		char c;
		while (read(u->fd, &c, 1) > 0)
			;
		ubus_free(f->ctx);
		f->ctx = nullptr;
	};
	ASSERT_EQ(uloop_fd_add(&freer.fd, ULOOP_READ), 0);
	// The watcher becomes ready first, then the broker hangs up.
	ASSERT_EQ(write(sv[1], "x", 1), 1);
	fake.hang_up();
	struct pollfd p = {freer.ctx->sock.fd, POLLIN, 0};
	ASSERT_EQ(poll(&p, 1, 5000), 1);
	for (int i = 0; i < 3; i++)
		uloop_run_timeout(0);
	EXPECT_EQ(freer.ctx, nullptr);
	uloop_fd_delete(&freer.fd);
	close(sv[0]);
	close(sv[1]);
	ubus_free(freer.ctx);
	uloop_done();
}

} // namespace

namespace {

// An asynchronous request's callbacks run from the loop only, never inside
// a synchronous call; an aborted or dropped one gets none.
TEST(BusClientAsync, RequestsEndFromTheLoopOnly)
{
	enum class way { loop, during_call, abort, freed, wait, hang_up };
	const struct {
		const char *what;
		way how;             // during_call and after: replies come in a synchronous call
		const char *replies; // DATA {"n": d} for a digit d, STATUS 9 for 's'
		std::vector<std::string> seen;
	} cases[] = {
		{"data, then the status", way::loop, "12s", {"{\"n\":1}", "{\"n\":2}", "end 9"}},
		{"error status alone (vanished object)", way::loop, "s", {"end 9"}},
		{"completion while a synchronous call runs", way::during_call, "1s",
		 {"{\"n\":1}", "end 9"}},
		{"aborted", way::abort, "1s", {}},
		{"context freed in flight", way::freed, "1", {}},
		{"waited for", way::wait, "12s", {"{\"n\":1}", "{\"n\":2}", "end 9"}},
		{"broker gone", way::hang_up, "", {"end 10"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<uint8_t> to_async;
		for (const char *p = c.replies; *p; p++) {
			auto f = *p == 's' ? frame(UBUS_MSG_STATUS, 1, demo_id, status_hex(9))
					   : frame(UBUS_MSG_DATA, 1, demo_id,
						   "03000008 087fee8f 07000010 8500000c 00016e00 " +
							   hex32(uint32_t(*p - '0')));
			to_async.insert(to_async.end(), f.begin(), f.end());
		}
		bool in_call = c.how != way::loop && c.how != way::hang_up;
		// The asynchronous call is seq 1, the synchronous one seq 2.
		bustest::FakeBroker fake(caller_id, [&](const std::vector<uint8_t> &m) {
			uint16_t seq = bustest::frame_seq(m);
			if (seq == 1)
				return in_call ? std::vector<uint8_t>{} : to_async;
			std::vector<uint8_t> out = to_async;
			auto st = frame(UBUS_MSG_STATUS, seq, demo_id, status_hex(0));
			out.insert(out.end(), st.begin(), st.end());
			return out;
		});
		uloop_init();
		struct ubus_context *ctx = ubus_connect(fake.path().c_str());
		ASSERT_NE(ctx, nullptr);
		ctx->connection_lost = [](struct ubus_context *) {};
		ubus_add_uloop(ctx);

		std::vector<std::string> seen;
		struct ubus_request req;
		ASSERT_EQ(ubus_invoke_async(ctx, demo_id, "get", nullptr, &req), 0);
		req.data_cb = bustest::collect_json;
		req.complete_cb = [](struct ubus_request *r, int ret) {
			static_cast<std::vector<std::string> *>(r->priv)->push_back(
				"end " + std::to_string(ret));
		};
		req.priv = &seen;
		if (c.how != way::wait)
			ubus_complete_request_async(ctx, &req);
		if (in_call) {
			EXPECT_EQ(ubus_invoke(ctx, demo_id, "get", nullptr, nullptr, nullptr, 2000), 0);
			EXPECT_TRUE(seen.empty());
		}
		if (c.how == way::hang_up)
			fake.hang_up();
		if (c.how == way::abort)
			ubus_abort_request(ctx, &req);
		if (c.how == way::freed) {
			ubus_free(ctx);
			ctx = nullptr;
		}
		if (c.how == way::wait) {
			EXPECT_EQ(ubus_complete_request(ctx, &req, 2000), 9);
		}
		// What is held is handed over at the loop's first turns.
		auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
		for (int turns = 0; turns < 3 || (seen.size() < c.seen.size() &&
						  std::chrono::steady_clock::now() < deadline);
		     turns++)
			uloop_run_timeout(10);
		EXPECT_EQ(seen, c.seen);
		if (!c.seen.empty()) {
			EXPECT_EQ("end " + std::to_string(req.status_code), c.seen.back());
		}
		ubus_free(ctx);
		uloop_done();
	}
}

} // namespace
