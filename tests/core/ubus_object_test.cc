// The "aircoord" object over the bus, with simulated agents: settings taken
// whole or not at all, a setting that changes a decision, timers re-armed
// with a new period, and the history ring.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <future>
#include <set>
#include <string>
#include <vector>

#include "bus/blobmsg_json.h"
#include "sim/ask.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_history.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_steer.h"
#include "src/cntlr_survey.h"
#include "src/cntlr_ubus.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;

const sim::mac_addr kSta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
const sim::mac_addr kRouterBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x00};
const sim::mac_addr kExt1Bss = {0x02, 0x00, 0x00, 0x02, 0x02, 0x00};

const std::string kDefaults =
	"{\"steer_rssi_threshold\":-65,\"steer_rssi_margin\":8,\"steer_max_age\":30,"
	"\"neighbor_interval\":10,\"bss_refresh_interval\":30,\"cmd_timeout\":8,"
	"\"radar_channel\":36,\"radar_hold\":3600,\"steering\":true,\"roam_cleanup\":true,"
	"\"duplicate_removal\":true,\"steer_exclude_extra\":[]}";

class AircoordObject : public CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		cntlr_history_clear();
		add_agent("", 1);
		add_agent("192.168.1.2", 1);
		discover();
		cntlr_survey(cntlr());
		ASSERT_EQ(cntlr_ubus_add(cntlr()), 0);
		journal().clear();
	}

	// Bytes of `json` as a blobmsg message: the size of the reply it came
	// from.
	static size_t encoded(const std::string &json)
	{
		struct blob_buf b = {};
		blob_buf_init(&b, 0);
		blobmsg_add_json_from_string(&b, json.c_str());
		size_t n = blob_raw_len(b.head);
		blob_buf_free(&b);
		return n;
	}
};

TEST_F(AircoordObject, SetConfigTakesEverythingOrNothing)
{
	const std::string set = "{\"steer_rssi_margin\":5,\"steering\":false,\"radar_channel\":149,"
				"\"steer_exclude_extra\":[\"5c:aa:bb:01:02:03\"]}";
	EXPECT_EQ(ask("get_config"), kDefaults);
	ASSERT_EQ(ask("set_config", set), "");
	std::string now = ask("get_config");
	EXPECT_NE(now.find("\"steer_rssi_margin\":5,"), std::string::npos) << now;
	EXPECT_NE(now.find("\"radar_channel\":149,"), std::string::npos) << now;
	EXPECT_NE(now.find("\"steering\":false,"), std::string::npos) << now;
	EXPECT_NE(now.find("[\"5c:aa:bb:01:02:03\"]"), std::string::npos) << now;
	// The list went out with the boxes' addresses.
	EXPECT_EQ(journal().count(CMD_STEER_EXCLUDE), 2u);

	const struct {
		const char *name;
		std::string args;
	} refused[] = {
		{"an integer as text", "{\"steer_rssi_margin\":\"3\"}"},
		{"a number for a switch", "{\"steering\":1}"},
		{"a text for the list", "{\"steer_exclude_extra\":\"5c:aa:bb:01:02:03\"}"},
		{"a list entry that is no address", "{\"steer_exclude_extra\":[\"5c:aa:bb\"]}"},
		{"nine list entries", "{\"steer_exclude_extra\":[\"02:00:00:00:00:01\","
				      "\"02:00:00:00:00:02\",\"02:00:00:00:00:03\",\"02:00:00:00:00:04\","
				      "\"02:00:00:00:00:05\",\"02:00:00:00:00:06\",\"02:00:00:00:00:07\","
				      "\"02:00:00:00:00:08\",\"02:00:00:00:00:09\"]}"},
		{"an unknown key beside a good one", "{\"steer_rssi_margin\":3,\"margin\":3}"},
		{"threshold above -40", "{\"steer_rssi_threshold\":-39}"},
		{"margin above 40", "{\"steer_rssi_margin\":41}"},
		{"no command time-out", "{\"cmd_timeout\":0}"},
		{"a radar channel", "{\"radar_channel\":52}"},
		{"a hold of 2^32 + 60", "{\"radar_hold\":4294967356}"},
	};
	for (const auto &c : refused) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(ask("set_config", c.args), "error: set_config: Invalid argument");
		EXPECT_EQ(ask("get_config"), now);
	}
}

TEST_F(AircoordObject, LowerMarginTurnsANonSteerIntoASteer)
{
	struct node *ext1 = node_of("192.168.1.2");
	ASSERT_NE(ext1, nullptr);
	cancel_node_timers();
	as_update_entry(cntlr()->as_table, kSta.data(), kExt1Bss.data());
	host().find_agent("")->set_monitor(kSta, {kRouterBss, -62, 1});

	EXPECT_EQ(cntlr_handle_sta_rssi_low(ext1, kSta.data(), -70), 0);
	EXPECT_EQ(journal().count(CMD_STEER), 0u);
	std::string h = ask("history", "{\"sta\":\"5c:aa:bb:01:02:03\"}");
	EXPECT_NE(h.find(",\"kind\":\"no_steer\",\"sta\":\"5c:aa:bb:01:02:03\","
			 "\"bssid\":\"02:00:00:02:02:00\",\"target\":\"02:00:00:01:01:00\",\"reason\":"
			 "\"not steered: best neighbor -62 dBm is only 8 dB better (needs more than "
			 "8)\"}],\"total\":1}"),
		  std::string::npos)
		<< h;
	std::string st = ask("stations");
	EXPECT_NE(st.find("\"node\":\"192.168.1.2\",\"rssi\":-70,\"best_nbr_bssid\":"
			  "\"02:00:00:01:01:00\",\"best_nbr_rssi\":-62,"),
		  std::string::npos)
		<< st;

	ASSERT_EQ(ask("set_config", "{\"steer_rssi_margin\":7}"), "");
	EXPECT_EQ(cntlr_handle_sta_rssi_low(ext1, kSta.data(), -70), 0);
	EXPECT_EQ(journal().count(CMD_STEER), 1u);
	h = ask("history", "{\"sta\":\"5c:aa:bb:01:02:03\",\"limit\":1}");
	EXPECT_NE(h.find("\"kind\":\"steer\""), std::string::npos) << h;
	EXPECT_NE(h.find("\"reason\":\"signal -70 dBm below -65; router/wl0 heard at -62 dBm, 8 dB "
			 "better (needs more than 7)\""),
		  std::string::npos)
		<< h;
	std::string status = ask("status");
	EXPECT_EQ(status.rfind("{\"mode\":\"scan\",\"uptime\":", 0), 0u) << status;
	EXPECT_NE(status.find("\"prefix\":\"192.168.1.2\",\"ip\":\"192.168.1.2\""),
		  std::string::npos);
	EXPECT_NE(status.find("\"responsive\":true,\"bss\":[{\"ifname\":\"wl0\""),
		  std::string::npos);
}

TEST_F(AircoordObject, NewPeriodsRearmTheirTimers)
{
	struct cntlr *c = cntlr();
	cntlr_start_timers(c);
	// A radar hold that began 100 s ago.
	uloop_timeout_set(&c->channel_timer, 3500 * 1000);
	c->radar_hold_since = cntlr_now() - 100;

	ASSERT_EQ(ask("set_config", "{\"neighbor_interval\":60,\"bss_refresh_interval\":120,"
				    "\"radar_hold\":600}"),
		  "");

	auto within = [](int64_t ms, int64_t secs) { return ms > (secs - 2) * 1000 && ms <= secs * 1000; };
	EXPECT_TRUE(within(uloop_timeout_remaining64(&c->nbr_timer), 60));
	EXPECT_TRUE(within(uloop_timeout_remaining64(&c->channel_timer), 500));
	struct node *n;
	list_for_each_entry(n, &c->nodelist, list)
		EXPECT_TRUE(within(uloop_timeout_remaining64(&n->bssinfo_timer), 120));
	// A pass re-arms itself with the new period too.
	uloop_timeout_cancel(&c->nbr_timer);
	cntlr_neighbor_timer(&c->nbr_timer);
	EXPECT_TRUE(within(uloop_timeout_remaining64(&c->nbr_timer), 60));
	uloop_timeout_cancel(&c->nbr_timer);
	uloop_timeout_cancel(&c->channel_timer);
}

TEST_F(AircoordObject, HistoryKeepsTheNewestEntries)
{
	const uint8_t other[6] = {0x02, 0, 0, 0, 0, 9};
	for (int i = 0; i < HISTORY_LEN + 44; i++)
		cntlr_history_add(cntlr(), {.why = WHY_NS_UNKNOWN, .sta = i % 2 ? other : kSta.data(),
					    .num = {-i}});

	EXPECT_EQ(cntlr_history_count(), HISTORY_LEN);
	EXPECT_EQ(cntlr_history_at(0)->num[0], -44);
	EXPECT_EQ(cntlr_history_at(HISTORY_LEN - 1)->num[0], -299);
	std::string h = ask("history", "{\"sta\":\"5c:aa:bb:01:02:03\",\"limit\":2}");
	EXPECT_NE(h.find("signal -296 dBm reported"), std::string::npos) << h;
	EXPECT_NE(h.find("signal -298 dBm reported"), std::string::npos) << h;
	EXPECT_EQ(h.find("-294"), std::string::npos) << h;
	for (const char *bad : {"{\"limit\":0}", "{\"sta\":\"nobody\"}", "{\"who\":1}"}) {
		SCOPED_TRACE(bad);
		EXPECT_EQ(ask("history", bad), "error: history: Invalid argument");
	}
}

} // namespace

namespace {

TEST_F(AircoordObject, SetConfigRepliesAtOnceWhileAnAgentHangs)
{
	host().find_agent("192.168.1.2")->set_fault({sim::fault_kind::no_reply, -1, ""}, 0);
	const std::string args =
		"{\"cmd_timeout\":1,\"steer_exclude_extra\":[\"5c:aa:bb:01:02:03\"]}";
	auto f = std::async(std::launch::async, [&] {
		auto t0 = std::chrono::steady_clock::now();
		std::string reply, err;
		bool ok = sim::ask_controller(socket_path(), "set_config", args, &reply, &err);
		return ok ? std::chrono::steady_clock::now() - t0 : std::chrono::hours(1);
	});
	pump_until([&] {
		return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
	});
	// Within 50 ms (connecting included); an emulated CPU is given ten times that.
	EXPECT_LT(f.get(), std::chrono::milliseconds(testutil::emulator().empty() ? 50 : 500));
	// The new list goes out right after, from the loop.
	EXPECT_TRUE(pump_until([&] { return journal().count(CMD_STEER_EXCLUDE, "local") == 1; }));
}

// A full station table is read through pages and a full history in one
// reply, each far below the bus's 1 MB message limit; a station record
// leaves out what is not known rather than show a reading.
TEST_F(AircoordObject, RepliesStayFarBelowTheBusLimit)
{
	// Every record as long as one gets, but kSta's, which has no reading.
	for (int i = 0; i < AS_MAX_STA - 1; i++) {
		const uint8_t mac[6] = {0x5c, 0xaa, 0xbb, 0x10, (uint8_t)(i >> 8), (uint8_t)i};
		as_update_entry(cntlr()->as_table, mac, kRouterBss.data());
		struct active_sta *s = as_update_entry(cntlr()->as_table, mac, kExt1Bss.data());
		s->rssi = -70;
		s->best_nbr_rssi = -60;
		memcpy(s->best_nbr_bssid, kRouterBss.data(), 6);
	}
	as_update_entry(cntlr()->as_table, kSta.data(), kExt1Bss.data());
	for (int i = 0; i < HISTORY_LEN; i++)
		cntlr_history_add(cntlr(), {.why = WHY_RADAR, .sta = kSta.data(),
					    .bssid = kRouterBss.data(), .target = kExt1Bss.data(),
					    .extra = kSta.data(), .num = {-1, 161, 86400, 0},
					    .status = UBUS_STATUS_CONNECTION_FAILED});

	std::set<std::string> seen;
	int pages = 0;
	for (size_t offset = 0, total = 1; offset < total; pages++) {
		std::string reply = ask("stations", "{\"offset\":" + std::to_string(offset) + "}");
		EXPECT_LT(encoded(reply), 256u * 1024);
		json_object *root = json_tokener_parse(reply.c_str());
		json_object *arr = json_object_object_get(root, "stations");
		total = (size_t)json_object_get_int(json_object_object_get(root, "total"));
		EXPECT_EQ(total, (size_t)AS_MAX_STA);
		for (size_t i = 0; i < json_object_array_length(arr); i++)
			seen.insert(json_object_get_string(
				json_object_object_get(json_object_array_get_idx(arr, i), "sta")));
		offset += json_object_array_length(arr);
		json_object_put(root);
		ASSERT_LT(pages, 9);
	}
	EXPECT_EQ(seen.size(), (size_t)AS_MAX_STA);
	EXPECT_EQ(pages, AS_MAX_STA / STATIONS_PAGE_MAX);
	EXPECT_LT(encoded(ask("history")), 256u * 1024);

	const struct {
		const char *args;
		const char *want; // the reply's start, or the error
	} asks[] = {
		{"{\"sta\":\"5c:aa:bb:10:00:00\",\"limit\":1}",
		 "{\"stations\":[{\"sta\":\"5c:aa:bb:10:00:00\",\"bssid\":\"02:00:00:02:02:00\","
		 "\"old_bssid\":\"02:00:00:01:01:00\",\"node\":\"192.168.1.2\",\"rssi\":-70,"
		 "\"best_nbr_bssid\":\"02:00:00:01:01:00\",\"best_nbr_rssi\":-60,\"age\":"},
		{"{\"sta\":\"5c:aa:bb:01:02:03\"}",
		 "{\"stations\":[{\"sta\":\"5c:aa:bb:01:02:03\",\"bssid\":\"02:00:00:02:02:00\","
		 "\"node\":\"192.168.1.2\",\"age\":"},
		{"{\"offset\":4097}", "{\"stations\":[],\"offset\":4097,\"total\":4096}"},
		{"{\"limit\":513}", "error: stations: Invalid argument"},
		{"{\"offset\":-1}", "error: stations: Invalid argument"},
	};
	for (const auto &a : asks) {
		SCOPED_TRACE(a.args);
		std::string got = ask("stations", a.args);
		EXPECT_EQ(got.rfind(a.want, 0), 0u) << got;
	}
	EXPECT_EQ(ask("history", "{\"offset\":0}"), "error: history: Invalid argument");
}

} // namespace
