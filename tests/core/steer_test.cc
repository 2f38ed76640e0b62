#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_history.h"
#include "src/cntlr_steer.h"
#include "src/cntlr_survey.h"
#include "src/utils.h"
#include "tests/core/cntlr_fixture.h"
#include "tests/core/sta_util.h"

namespace {

using statest::BareMesh;
using statest::LogCapture;
using statest::Mac;
using statest::mac_str;
using statest::to_mac;
using statest::trace;

const Mac kSta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
const Mac kOwnBss = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const Mac kNbrBss = {0x02, 0x00, 0x00, 0x00, 0x02, 0x01};
const Mac kZero = {};

// Hands `text` to the reply callback the way the command channel does: in a
// zeroed 3072-byte buffer, `len` counting the NUL (0 without a text).
void deliver(struct cntlr *c, const std::string &text, bool has_text = true)
{
	char buf[CMD_RESP_MAX] = {};
	memcpy(buf, text.data(), std::min(text.size(), sizeof(buf) - 1));
	node_get_monitor_sta(c, buf, has_text ? (int)strlen(buf) + 1 : 0, nullptr);
}

class MonitorStaReply : public ::testing::Test {
protected:
	void SetUp() override
	{
		struct node *n = mesh_.add_node({0x02, 0, 0, 0, 0, 1});
		mesh_.add_bss(n, "wl0", kOwnBss);
		s_ = as_update_entry(mesh_.c.as_table, kSta.data(), kOwnBss.data());
		ASSERT_NE(s_, nullptr);
		log_.clear();
	}

	BareMesh mesh_;
	LogCapture log_;
	struct active_sta *s_ = nullptr;
};

TEST_F(MonitorStaReply, SignalByteAndAgeDecideWhetherTheMeasurementCounts)
{
	const std::string sta = "5caabb010203";
	const std::string nbr = "020000000201";
	const struct {
		const char *name;
		int best_before;
		std::string text;
		int best_after; // unchanged when equal to best_before
		std::string seen_line; // "" when the reply is not looked at
	} cases[] = {
		{"0xc4 is -60", -127, sta + nbr + "c4000000" + "00000005", -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 5 secs ago"},
		{"0x01 is -255, weaker than none", -127, sta + nbr + "01000000" + "00000001",
		 -127, "old best nbr-rssi = -127  nbr-rssi = -255  seen = 1 secs ago"},
		{"0xff is -1", -127, sta + nbr + "ff000000" + "00000000", -1,
		 "old best nbr-rssi = -127  nbr-rssi = -1  seen = 0 secs ago"},
		{"seen 29 counts", -127, sta + nbr + "c4000000" + "0000001d", -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 29 secs ago"},
		{"seen 30 is too old", -127, sta + nbr + "c4000000" + "0000001e", -127,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 30 secs ago"},
		{"seen is unsigned", -127, sta + nbr + "c4000000" + "ffffffff", -127,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = -1 secs ago"},
		{"equal is not better", -60, sta + nbr + "c4000000" + "00000002", -60,
		 "old best nbr-rssi = -60  nbr-rssi = -60  seen = 2 secs ago"},
		{"one better replaces", -61, sta + nbr + "c4000000" + "00000002", -60,
		 "old best nbr-rssi = -61  nbr-rssi = -60  seen = 2 secs ago"},
		{"reserved bytes are not read", -127, sta + nbr + "c4ffffff" + "00000003", -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 3 secs ago"},
		{"upper-case hex", -127, "5CAABB010203" + nbr + "C4000000" + "00000005", -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 5 secs ago"},
		{"a text ending before seen reads seen 0", -127, sta + nbr + "c4", -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 0 secs ago"},
		{"text past the record is not read", -127,
		 sta + nbr + "c4000000" + "00000005" + std::string(3000, 'f'), -60,
		 "old best nbr-rssi = -127  nbr-rssi = -60  seen = 5 secs ago"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		s_->best_nbr_rssi = c.best_before;
		memset(s_->best_nbr_bssid, 0, 6);
		log_.clear();

		deliver(&mesh_.c, c.text);

		EXPECT_EQ(s_->best_nbr_rssi, c.best_after);
		std::string expect = trace("node_get_monitor_sta(): received: " +
					   c.text.substr(0, CMD_RESP_MAX - 1) + "\n") +
				     trace("STA 5c:aa:bb:01:02:03 " + c.seen_line + "\n");
		if (c.best_after != c.best_before) {
			EXPECT_EQ(to_mac(s_->best_nbr_bssid), kNbrBss);
			expect += trace("STA 5c:aa:bb:01:02:03 better neighbor is 02:00:00:00:02:01 "
					"with rssi " +
					std::to_string(c.best_after) + "\n");
		} else {
			EXPECT_EQ(to_mac(s_->best_nbr_bssid), kZero);
		}
		EXPECT_EQ(log_.text(), expect);
	}
}

TEST_F(MonitorStaReply, UnusableRepliesChangeNothing)
{
	const std::string nbr = "020000000201";
	const struct {
		const char *name;
		std::string text;
		bool has_text;
		bool invalid; // reported; else ignored silently
	} cases[] = {
		{"no response text", "", false, true},
		{"empty text", "", true, true},
		{"signal byte 0", "5caabb010203" + nbr + "00000000" + "00000001", true, true},
		{"all-zero station", "000000000000" + nbr + "c4000000" + "00000001", true, true},
		{"not hex", "zz" + nbr, true, true},
		{"station without record", "5caabb010204" + nbr + "c4000000" + "00000001", true,
		 false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		s_->best_nbr_rssi = -70;
		log_.clear();

		deliver(&mesh_.c, c.text, c.has_text);

		EXPECT_EQ(s_->best_nbr_rssi, -70);
		EXPECT_EQ(to_mac(s_->best_nbr_bssid), kZero);
		std::string expect = trace("node_get_monitor_sta(): received: " + c.text + "\n");
		if (c.invalid)
			expect += trace("Invalid GET_MONITOR resp!!!\n");
		EXPECT_EQ(log_.text(), expect);
	}
}

class LowRssiAlone : public ::testing::Test {
protected:
	void SetUp() override
	{
		reporter_ = mesh_.add_node({0x02, 0, 0, 0, 0, 1});
		mesh_.add_bss(reporter_, "wl0", kOwnBss);
	}

	BareMesh mesh_;
	LogCapture log_;
	struct node *reporter_ = nullptr;
};

TEST_F(LowRssiAlone, OnlyTheReportingNodeMeansNoRequestAndNoSteering)
{
	struct active_sta *s = as_update_entry(mesh_.c.as_table, kSta.data(), kOwnBss.data());
	ASSERT_NE(s, nullptr);
	// What an earlier pass found does not carry over.
	s->best_nbr_rssi = -50;
	memcpy(s->best_nbr_bssid, kNbrBss.data(), 6);
	log_.clear();

	EXPECT_EQ(cntlr_handle_sta_rssi_low(reporter_, kSta.data(), -90), 0);

	EXPECT_EQ(s->rssi, -90);
	EXPECT_EQ(s->best_nbr_rssi, -127);
	EXPECT_EQ(to_mac(s->best_nbr_bssid), kZero);
	EXPECT_EQ(log_.text(),
		  trace("Received wifi.sta 'lowrssi' (-90) event +++++++++++++>\n") +
			  trace("cntlr_handle_sta_rssi_low: After doing get monitor sta .......\n"));
}

TEST_F(LowRssiAlone, StationWithoutRecordOrAddressIsNotPursued)
{
	EXPECT_EQ(cntlr_handle_sta_rssi_low(reporter_, kSta.data(), -80), -1);
	EXPECT_EQ(cntlr_handle_sta_rssi_low(reporter_, kZero.data(), -80), 0);
	EXPECT_EQ(log_.text(), trace("Received wifi.sta 'lowrssi' (-80) event +++++++++++++>\n") +
				       trace("Received wifi.sta 'lowrssi' (-80) event "
					     "+++++++++++++>\n"));
	EXPECT_EQ(mesh_.sta(kSta), nullptr);
}

// ---- Over the bus, with simulated agents answering.

using cntlrtest::CntlrFixture;

const Mac kRouterBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x00};
const Mac kExt1Bss = {0x02, 0x00, 0x00, 0x02, 0x02, 0x00};
const Mac kExt2Bss = {0x02, 0x00, 0x00, 0x03, 0x03, 0x00};

std::string hex(const Mac &m)
{
	char t[13] = {};
	btostr(m.data(), 6, t);
	return t;
}

// The router and two extenders, discovered and surveyed.
class SteerMesh : public CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		router_ = &add_agent("", 1);
		ext1_ = &add_agent("192.168.1.2", 1);
		ext2_ = &add_agent("192.168.1.3", 1);
	}
	void start()
	{
		discover();
		cntlr_survey(cntlr());
		cancel_node_timers();
		ASSERT_EQ(node_count(), 3);
		journal().clear();
		clear_logs();
	}
	struct active_sta *sta(const Mac &m) { return as_lookup(cntlr()->as_table, m.data()); }

	sim::agent *router_ = nullptr;
	sim::agent *ext1_ = nullptr;
	sim::agent *ext2_ = nullptr;
};

// The road of a typical event: a client on the router roams to an extender,
// which later finds its signal weak; the router hears it better.
TEST_F(SteerMesh, ClientRoamsToAnExtenderAndIsSteeredBackToTheRouter)
{
	router_->add_station("wl0", kSta);
	discover();
	journal().clear();
	cntlr_survey(cntlr());
	cancel_node_timers();
	ASSERT_NE(sta(kSta), nullptr);
	ASSERT_EQ(to_mac(sta(kSta)->bssid), kRouterBss);
	EXPECT_EQ(receivers(CMD_MONITOR_STA),
		  (std::vector<std::string>{ext1_->name(), ext2_->name()}));
	journal().clear();
	clear_logs();

	ext1_->associate("wl0", kSta);
	ASSERT_TRUE(pump_until([&] { return to_mac(sta(kSta)->bssid) == kExt1Bss; }));

	auto disc = journal().disconnects();
	ASSERT_EQ(disc.size(), 1u);
	EXPECT_EQ(disc[0].agent, router_->name());
	EXPECT_EQ(disc[0].ifname, "wl0");
	EXPECT_EQ(disc[0].sta, "5c:aa:bb:01:02:03");
	EXPECT_EQ(to_mac(sta(kSta)->old_bssid), kRouterBss);
	EXPECT_EQ(receivers(CMD_MONITOR_STA),
		  (std::vector<std::string>{ext2_->name(), router_->name()}));

	router_->set_monitor(kSta, {kRouterBss, -60, 5});
	ext2_->set_monitor(kSta, {kExt2Bss, -75, 2});
	journal().clear();
	ext1_->raise_sta(kSta, "associated", "wl0", -70);
	ASSERT_TRUE(pump_until([&] { return sta(kSta)->rssi == -70; }));

	EXPECT_EQ(receivers(CMD_GET_MONITOR_STA),
		  (std::vector<std::string>{ext2_->name(), router_->name()}));
	for (const auto &r : journal().commands(CMD_GET_MONITOR_STA))
		EXPECT_EQ(r.data, "5caabb010203");
	auto steer = journal().commands(CMD_STEER);
	ASSERT_EQ(steer.size(), 1u);
	EXPECT_EQ(steer[0].agent, ext1_->name());
	EXPECT_EQ(steer[0].data, "5caabb010203" "00000001" "020000010100");
	EXPECT_EQ(sta(kSta)->best_nbr_rssi, -60);
	EXPECT_EQ(to_mac(sta(kSta)->best_nbr_bssid), kRouterBss);
	// The low-signal report is no association: nothing else moved.
	EXPECT_EQ(journal().disconnects().size(), 0u);
	EXPECT_EQ(journal().count(CMD_MONITOR_STA), 0u);
	EXPECT_EQ(to_mac(sta(kSta)->bssid), kExt1Bss);
	EXPECT_EQ(count_log(cntlrtest::trace("CMD_STEER in agent with best nbr +++++++++++>\n")),
		  1);
	auto line = [](const char *what, struct node *n) {
		char buf[96];
		snprintf(buf, sizeof(buf), "Send %s to node (%p:%p)---->\n", what, (void *)n,
			 (void *)(uintptr_t)n->agent_id);
		return cntlrtest::trace(buf);
	};
	EXPECT_EQ(count_log(line("GET_MONITOR_STA", node_of(""))), 1);
	EXPECT_EQ(count_log(line("GET_MONITOR_STA", node_of("192.168.1.3"))), 1);
	EXPECT_EQ(count_log(line("STEER", node_of("192.168.1.2"))), 1);
	EXPECT_EQ(count_log(cntlrtest::trace(
			  "STA 5c:aa:bb:01:02:03 better neighbor is 02:00:00:01:01:00 with rssi -60\n")),
		  1);
}

TEST_F(SteerMesh, DecisionBoundaries)
{
	struct reading {
		int rssi; // 0: no reading at all
		uint32_t seen;
	};
	enum target { none, router, ext2, first_of_the_two };
	const struct {
		const char *name;
		int report;
		reading at_router, at_ext2;
		target steer;
		int best;
		const char *reason; // in the history entry's reason
	} cases[] = {
		{"strongest fresh answer wins", -70, {-60, 5}, {-75, 2}, router, -60,
		 "signal -70 dBm below -65; router/wl0 heard at -60 dBm, 10 dB better (needs more "
		 "than 8)"},
		{"difference of 8 is not enough", -70, {-62, 1}, {0, 0}, none, -62,
		 "not steered: best neighbor -62 dBm is only 8 dB better (needs more than 8)"},
		{"difference of 9 is", -70, {0, 0}, {-61, 1}, ext2, -61,
		 "192.168.1.3/wl0 heard at -61 dBm, 9 dB better (needs more than 8)"},
		{"-65 is not below the threshold", -65, {-40, 1}, {0, 0}, none, -40,
		 "not steered: signal -65 dBm is not below -65"},
		{"-66 is", -66, {-57, 1}, {0, 0}, router, -57, "heard at -57 dBm, 9 dB better"},
		{"-66 with a margin of 8", -66, {-58, 1}, {0, 0}, none, -58,
		 "is only 8 dB better (needs more than 8)"},
		{"heard 30 s ago is too old", -80, {-40, 30}, {0, 0}, none, -127,
		 "not steered: no neighbor heard it in the last 30 s"},
		{"heard 29 s ago counts", -80, {-40, 29}, {0, 0}, router, -40,
		 "heard at -40 dBm, 40 dB better"},
		{"equal answers: the earlier node", -70, {-58, 1}, {-58, 1}, first_of_the_two,
		 -58, "heard at -58 dBm, 12 dB better"},
		{"nobody hears it", -90, {0, 0}, {0, 0}, none, -127,
		 "not steered: no neighbor heard it in the last 30 s"},
	};
	start();
	struct node *reporter = node_of("192.168.1.2");
	ASSERT_NE(reporter, nullptr);
	Mac first{};
	struct node *n;
	list_for_each_entry(n, &cntlr()->nodelist, list) {
		if (n == node_of("")) {
			first = kRouterBss;
			break;
		}
		if (n == node_of("192.168.1.3")) {
			first = kExt2Bss;
			break;
		}
	}
	as_update_entry(cntlr()->as_table, kSta.data(), kExt1Bss.data());

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		router_->clear_monitor(kSta);
		ext2_->clear_monitor(kSta);
		if (c.at_router.rssi)
			router_->set_monitor(kSta, {kRouterBss, c.at_router.rssi, c.at_router.seen});
		if (c.at_ext2.rssi)
			ext2_->set_monitor(kSta, {kExt2Bss, c.at_ext2.rssi, c.at_ext2.seen});
		journal().clear();
		clear_logs();

		EXPECT_EQ(cntlr_handle_sta_rssi_low(reporter, kSta.data(), c.report), 0);

		EXPECT_EQ(receivers(CMD_GET_MONITOR_STA),
			  (std::vector<std::string>{ext2_->name(), router_->name()}));
		struct active_sta *s = sta(kSta);
		EXPECT_EQ(s->rssi, c.report);
		EXPECT_EQ(s->best_nbr_rssi, c.best);
		const struct hist_entry *h = cntlr_history_at(cntlr_history_count() - 1);
		ASSERT_NE(h, nullptr);
		EXPECT_STREQ(hist_kind_name(h->kind), c.steer == none ? "no_steer" : "steer");
		char reason[HISTORY_REASON_LEN];
		EXPECT_NE(std::string(hist_reason(cntlr(), h, reason)).find(c.reason),
			  std::string::npos)
			<< reason;
		auto steer = journal().commands(CMD_STEER);
		if (c.steer == none) {
			EXPECT_TRUE(steer.empty());
			continue;
		}
		Mac target = c.steer == router ? kRouterBss : c.steer == ext2 ? kExt2Bss : first;
		ASSERT_EQ(steer.size(), 1u);
		EXPECT_EQ(steer[0].agent, ext1_->name());
		EXPECT_EQ(steer[0].data, "5caabb010203" "00000001" + hex(target));
		EXPECT_EQ(to_mac(s->best_nbr_bssid), target);
	}
}

TEST_F(SteerMesh, NodeThatFailsToAnswerContributesNothing)
{
	start();
	as_update_entry(cntlr()->as_table, kSta.data(), kExt1Bss.data());
	router_->set_monitor(kSta, {kRouterBss, -40, 1});
	ext2_->set_monitor(kSta, {kExt2Bss, -55, 1});
	router_->set_fault({sim::fault_kind::error_status, -1, ""}, CMD_GET_MONITOR_STA);

	EXPECT_EQ(cntlr_handle_sta_rssi_low(node_of("192.168.1.2"), kSta.data(), -75), 0);

	auto steer = journal().commands(CMD_STEER);
	ASSERT_EQ(steer.size(), 1u);
	EXPECT_EQ(steer[0].data, "5caabb010203" "00000001" + hex(kExt2Bss));
}

} // namespace
