#include "tests/sim/sim_fixture.h"

#include <cstring>

#include "bus/blobmsg.h"
#include "bus/blobmsg_json.h"
#include "bus/uloop.h"

namespace simtest {

sim::mac_addr mac(const std::string &text)
{
	sim::mac_addr m{};
	EXPECT_TRUE(sim::parse_mac(text, &m)) << text;
	return m;
}

sim::agent_config box_cfg(const std::string &prefix, int index, int nbss)
{
	sim::agent_config cfg;
	cfg.prefix = prefix;
	cfg.macaddr = {0x02, 0xaa, 0, 0, 0, static_cast<uint8_t>(index)};
	for (int i = 0; i < nbss; i++) {
		sim::bss_config b;
		b.ifname = "wl" + std::to_string(i);
		b.ssid = "mesh" + std::to_string(index);
		b.bssid = {0x02, 0, 0, static_cast<uint8_t>(index), static_cast<uint8_t>(index),
			   static_cast<uint8_t>(i)};
		b.channel = i == 0 ? 6 : 36;
		b.opclass = i == 0 ? 81 : 115;
		b.phy_type = i == 0 ? 7 : 9;
		b.bssid_info = 0x108f;
		cfg.bsses.push_back(b);
	}
	return cfg;
}

static void reply_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *out = static_cast<call_result *>(req->priv);
	static const struct blobmsg_policy policy[2] = {
		{"id", BLOBMSG_TYPE_INT32},
		{"cmd_resp", BLOBMSG_TYPE_STRING},
	};
	struct blob_attr *tb[2] = {};
	blobmsg_parse(policy, 2, tb, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
	reply_msg r;
	r.has_id = tb[0] != nullptr;
	if (r.has_id)
		r.id = static_cast<int32_t>(blobmsg_get_u32(tb[0]));
	r.has_resp = tb[1] != nullptr;
	if (r.has_resp)
		r.resp = blobmsg_get_string(tb[1]);
	out->msgs.push_back(r);
}

void SimFixture::SetUp()
{
	sock_ = dir_.file("bus.sock");
	broker_ = busd_thread_start(sock_.c_str());
	ASSERT_NE(broker_, nullptr);
	host_ = std::make_unique<sim::host>(sock_);
	ASSERT_TRUE(host_->ok());
	uloop_init();
	loop_up_ = true;
	ctx_ = ubus_connect(sock_.c_str());
	ASSERT_NE(ctx_, nullptr);
	ubus_add_uloop(ctx_);
}

void SimFixture::TearDown()
{
	if (ctx_)
		ubus_free(ctx_);
	ctx_ = nullptr;
	host_.reset();
	if (loop_up_)
		uloop_done();
	if (broker_)
		busd_thread_stop(broker_);
}

call_result SimFixture::cmd(const std::string &path, int id, const char *data, int timeout_ms)
{
	call_result out;
	uint32_t obj;
	out.status = ubus_lookup_id(ctx_, path.c_str(), &obj);
	if (out.status)
		return out;
	struct blob_buf b;
	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", static_cast<uint32_t>(id));
	if (data)
		blobmsg_add_string(&b, "data", data);
	out.status = ubus_invoke(ctx_, obj, "cmd", b.head, reply_cb, &out, timeout_ms);
	blob_buf_free(&b);
	return out;
}

static void json_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	char *text = blobmsg_format_json(msg, true);
	*static_cast<std::string *>(req->priv) = text ? text : "";
	free(text);
}

std::string SimFixture::call_json(const std::string &path, const std::string &method)
{
	std::string out;
	uint32_t obj;
	if (ubus_lookup_id(ctx_, path.c_str(), &obj))
		return out;
	if (ubus_invoke(ctx_, obj, method.c_str(), nullptr, json_cb, &out, 3000))
		out.clear();
	return out;
}

int SimFixture::disconnect(const std::string &path, const std::string &ifname,
			   const std::string &sta)
{
	uint32_t obj;
	int ret = ubus_lookup_id(ctx_, path.c_str(), &obj);
	if (ret)
		return ret;
	struct blob_buf b;
	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "ifname", ifname.c_str());
	blobmsg_add_string(&b, "sta", sta.c_str());
	ret = ubus_invoke(ctx_, obj, "disconnect_sta", b.head, nullptr, nullptr, 2000);
	blob_buf_free(&b);
	return ret;
}

static void event_cb(struct ubus_context *, struct ubus_event_handler *ev, const char *type,
		     struct blob_attr *msg)
{
	auto *l = static_cast<event_listener *>(ev->obj.priv);
	char *text = blobmsg_format_json(msg, true);
	l->events.push_back({type, text ? text : ""});
	free(text);
}

void SimFixture::listen(event_listener *l, const std::string &pattern)
{
	l->ev.cb = event_cb;
	l->ev.obj.priv = l;
	ASSERT_EQ(ubus_register_event_handler(ctx_, &l->ev, pattern.c_str()), 0);
}

bool SimFixture::pump_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
	auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!cond()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return cond();
		uloop_run_timeout(20);
	}
	return true;
}

} // namespace simtest
