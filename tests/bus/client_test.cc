#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "tests/bus/bus_util.h"

namespace {

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
const struct ubus_method demo_methods[] = {{"get", echo_get, get_policy, 1}};
struct ubus_object_type demo_type = {"demo", 0, demo_methods, 1};

void collect(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *out = static_cast<std::vector<std::string> *>(req->priv);
	char *s = blobmsg_format_json(msg, true);
	out->push_back(s ? s : "");
	free(s);
}

TEST(BusClient, InvokeReachesAnObjectOfAnotherClient)
{
	bustest::Broker broker;
	bustest::Peer server(broker.path());
	ASSERT_TRUE(server.connected());
	struct ubus_object obj = {};
	obj.name = "demo";
	obj.type = &demo_type;
	obj.methods = demo_methods;
	obj.n_methods = 1;
	int ret = -1;
	server.run([&](struct ubus_context *ctx) { ret = ubus_add_object(ctx, &obj); });
	ASSERT_EQ(ret, 0);

	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	uint32_t id = 0;
	ASSERT_EQ(ubus_lookup_id(ctx, "demo", &id), 0);
	EXPECT_EQ(id, obj.id);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", 7);
	std::vector<std::string> replies;
	EXPECT_EQ(ubus_invoke(ctx, id, "get", b.head, collect, &replies, 1000), 0);
	ASSERT_EQ(replies.size(), 1u);
	EXPECT_EQ(replies[0], "{\"ok\":true,\"id\":7}");
	EXPECT_EQ(ubus_invoke(ctx, id, "nope", b.head, collect, &replies, 1000),
		  UBUS_STATUS_METHOD_NOT_FOUND);
	blob_buf_free(&b);
	server.run([&](struct ubus_context *ctx) { ubus_remove_object(ctx, &obj); });
	ubus_free(ctx);
}

} // namespace

namespace {

struct Recorder {
	struct ubus_event_handler ev = {};
	std::mutex lock;
	std::vector<std::string> seen;
};

void record_event(struct ubus_context *, struct ubus_event_handler *ev, const char *type,
		  struct blob_attr *msg)
{
	auto *r = reinterpret_cast<Recorder *>(ev);
	char *s = blobmsg_format_json(msg, true);
	std::lock_guard<std::mutex> g(r->lock);
	r->seen.push_back(std::string(type) + " " + (s ? s : ""));
	free(s);
}

TEST(BusClient, EventsReachMatchingHandlers)
{
	bustest::Broker broker;
	bustest::Peer listener(broker.path());
	Recorder rec;
	rec.ev.cb = record_event;
	int ret = -1;
	listener.run([&](struct ubus_context *ctx) {
		ret = ubus_register_event_handler(ctx, &rec.ev, "demo.*");
	});
	ASSERT_EQ(ret, 0);
	struct ubus_context *ctx = ubus_connect(broker.path().c_str());
	ASSERT_NE(ctx, nullptr);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "n", 1);
	EXPECT_EQ(ubus_send_event(ctx, "demo.ev", b.head), 0);
	EXPECT_EQ(ubus_send_event(ctx, "other", b.head), 0);
	EXPECT_EQ(ubus_send_event(ctx, "demo", b.head), 0);
	EXPECT_TRUE(testutil::wait_until([&] {
		std::lock_guard<std::mutex> g(rec.lock);
		return rec.seen.size() >= 1;
	}));
	blob_buf_free(&b);
	ubus_free(ctx);
	std::lock_guard<std::mutex> g(rec.lock);
	EXPECT_EQ(rec.seen, std::vector<std::string>{"demo.ev {\"n\":1}"});
}

} // namespace
