// The "aircoord" object over the bus, with simulated agents: settings taken
// whole or not at all, a setting that changes a decision, timers re-armed
// with a new period, and the history ring.
#include <gtest/gtest.h>

#include <string>

#include "src/cmd.h"
#include "src/cntlr.h"
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
			 "8)\"}]}"),
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
		cntlr_history_add(cntlr(), WHY_NS_UNKNOWN, i % 2 ? other : kSta.data(), nullptr,
				  nullptr, nullptr, -i);

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
