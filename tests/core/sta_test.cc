#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_history.h"
#include "src/cntlr_sta.h"
#include "src/cntlr_survey.h"
#include "src/utils.h"
#include "tests/core/cntlr_fixture.h"
#include "tests/core/sta_util.h"
#include "tests/core/stderr_capture.h"

namespace {

using statest::BareMesh;
using statest::EventMsg;
using statest::LogCapture;
using statest::Mac;
using statest::mac_str;
using statest::to_mac;

const Mac kSta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
const Mac kZero = {};

// ---- Without a bus: the reporting node is the only one with BSSes, so
// nothing is sent anywhere.

const Mac kBareBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x00};
const Mac kBareLongBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x01};
const Mac kBareFullBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x02};
const Mac kBareBoxMac = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x02};

class StaEventAlone : public ::testing::Test {
protected:
	void SetUp() override
	{
		mesh_.add_node(kBareBoxMac);
		reporter_ = mesh_.add_node(kZero, true);
		mesh_.add_bss(reporter_, "wl0", kBareBss);
		mesh_.add_bss(reporter_, "wl1-fifteen-chr", kBareLongBss);
		mesh_.add_bss(reporter_, "wlan0-ap-long-16", kBareFullBss);
		log_.clear();
	}

	BareMesh mesh_;
	LogCapture log_;
	struct node *reporter_ = nullptr;
};

TEST_F(StaEventAlone, DroppedEventsLeaveTheTableAlone)
{
	const struct {
		const char *name;
		void (*build)(EventMsg &);
		std::string log;
	} cases[] = {
		{"empty message", [](EventMsg &) {},
		 statest::trace("Error parsing wifi.sta events!\n")},
		{"no macaddr",
		 [](EventMsg &e) { e.str("action", "associated").str("vif", "wl0"); }, ""},
		{"no vif",
		 [](EventMsg &e) { e.str("macaddr", "5c:aa:bb:01:02:03").str("action", "associated"); },
		 ""},
		{"no action",
		 [](EventMsg &e) { e.str("macaddr", "5c:aa:bb:01:02:03").str("vif", "wl0"); }, ""},
		{"macaddr of another type",
		 [](EventMsg &e) { e.i32("macaddr", 5).str("action", "associated").str("vif", "wl0"); },
		 ""},
		{"macaddr not an address",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c-aa-bb-01-02-03").str("action", "associated").str("vif", "wl0");
		 },
		 ""},
		{"address of a box of the mesh",
		 [](EventMsg &e) {
			 e.str("macaddr", "02:AA:00:00:00:02").str("action", "associated").str("vif", "wl0");
		 },
		 ""},
		{"vif of no BSS of the node",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c:aa:bb:01:02:03").str("action", "associated").str("vif", "wl9");
		 },
		 ""},
		{"a 16-character interface name is never matched",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c:aa:bb:01:02:03")
				 .str("action", "associated")
				 .str("vif", "wlan0-ap-long-16");
		 },
		 ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EventMsg e;
		c.build(e);
		log_.clear();

		EXPECT_EQ(cntlr_handle_sta_event(reporter_, e.msg(), 0), -1);

		EXPECT_EQ(mesh_.sta(kSta), nullptr);
		EXPECT_EQ(log_.text(), c.log);
	}
}

TEST_F(StaEventAlone, LocalEventBeforeTheLocalNodeExistsIsDropped)
{
	EventMsg e;
	e.str("macaddr", "5c:aa:bb:01:02:03").str("action", "associated").str("vif", "wl0");

	EXPECT_EQ(cntlr_handle_sta_event(nullptr, e.msg(), 0), -1);
	EXPECT_EQ(mesh_.sta(kSta), nullptr);
}

TEST_F(StaEventAlone, OnlyTheExactActionWordsAct)
{
	const char *actions[] = {"associatedX", "Associated",    "associate",
				 "Disassociated", "disassociatedX", "",
				 "roamed"};
	for (const char *a : actions) {
		SCOPED_TRACE(a);
		EventMsg e;
		e.str("macaddr", "5c:aa:bb:01:02:03").str("action", a).str("vif", "wl0");
		log_.clear();

		EXPECT_EQ(cntlr_handle_sta_event(reporter_, e.msg(), 0), 0);

		EXPECT_EQ(mesh_.sta(kSta), nullptr);
		EXPECT_EQ(log_.text(), statest::plain("Currently active STAs:\n"));
	}
	// A word cut to 63 characters is no longer the word either.
	EventMsg e;
	e.str("macaddr", "5c:aa:bb:01:02:03")
		.str("action", std::string(63, 'x') + "associated")
		.str("vif", "wl0");
	EXPECT_EQ(cntlr_handle_sta_event(reporter_, e.msg(), 0), 0);
	EXPECT_EQ(mesh_.sta(kSta), nullptr);
}

TEST_F(StaEventAlone, AssociationVariantsRecordTheStation)
{
	const struct {
		const char *name;
		void (*build)(EventMsg &);
		Mac bssid;
	} cases[] = {
		{"lowrssi 0 is no low-signal report",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c:aa:bb:01:02:03")
				 .str("action", "associated")
				 .str("vif", "wl0")
				 .i32("lowrssi", 0);
		 },
		 kBareBss},
		{"lowrssi of another type counts as absent",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c:aa:bb:01:02:03")
				 .str("action", "associated")
				 .str("vif", "wl0")
				 .str("lowrssi", "-70");
		 },
		 kBareBss},
		{"address text cut after 17 characters",
		 [](EventMsg &e) {
			 e.str("macaddr", "5C:AA:BB:01:02:03:04:05")
				 .str("action", "associated")
				 .str("vif", "wl0");
		 },
		 kBareBss},
		{"vif cut after 15 characters",
		 [](EventMsg &e) {
			 e.str("macaddr", "5c:aa:bb:01:02:03")
				 .str("action", "associated")
				 .str("vif", "wl1-fifteen-chrXYZ");
		 },
		 kBareLongBss},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EventMsg e;
		c.build(e);
		log_.clear();

		EXPECT_EQ(cntlr_handle_sta_event(reporter_, e.msg(), 1), 0);

		struct active_sta *s = mesh_.sta(kSta);
		ASSERT_NE(s, nullptr);
		EXPECT_EQ(to_mac(s->bssid), c.bssid);
		std::string bss = mac_str(c.bssid);
		EXPECT_EQ(log_.text(),
			  statest::plain("Add STA 5c:aa:bb:01:02:03 with bssid " + bss + "\n") +
				  statest::trace("Start Monitoring for STA 5c:aa:bb:01:02:03 ....\n") +
				  statest::plain("Currently active STAs:\n") +
				  statest::plain("Active STA: 5c:aa:bb:01:02:03, connected to: " + bss +
						 " (old 00:00:00:00:00:00)\n"));
		as_clean_all(mesh_.c.as_table);
	}
}

TEST_F(StaEventAlone, StationComesAndGoesOnOneBss)
{
	EventMsg assoc, disassoc;
	assoc.str("macaddr", "5c:aa:bb:01:02:03").str("action", "associated").str("vif", "wl0");
	disassoc.str("macaddr", "5c:aa:bb:01:02:03").str("action", "disassociated").str("vif", "wl0");

	EXPECT_EQ(cntlr_handle_sta_event(reporter_, assoc.msg(), 1), 0);
	log_.clear();
	EXPECT_EQ(cntlr_handle_sta_event(reporter_, assoc.msg(), 1), 0);
	struct active_sta *s = mesh_.sta(kSta);
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(to_mac(s->old_bssid), kZero);
	EXPECT_TRUE(log_.contains(statest::plain(
		"Set STA 5c:aa:bb:01:02:03 bssid to 02:00:00:01:01:00\n")));

	log_.clear();
	EXPECT_EQ(cntlr_handle_sta_event(reporter_, disassoc.msg(), 1), 0);
	EXPECT_EQ(mesh_.sta(kSta), nullptr);
	EXPECT_EQ(log_.text(),
		  statest::plain("Remove STA 5c:aa:bb:01:02:03 from active STAs\n") +
			  statest::plain("Currently active STAs:\n"));
}

TEST(StaEventWithoutLocalNode, RepeatedClientCheckIsSkipped)
{
	BareMesh mesh;
	LogCapture log;
	struct node *ext = mesh.add_node(kBareBoxMac);
	mesh.add_bss(ext, "wl0", kBareBss);
	// What a copy would look like for an all-zero mobility domain and OUI
	// list: nothing to compare with, so nothing is searched.
	const Mac copy = {0x00, 0x00, 0x00, 0x01, 0x02, 0x03};
	as_update_entry(mesh.c.as_table, copy.data(), kBareBss.data());
	EventMsg e;
	e.str("macaddr", "5c:aa:bb:01:02:03").str("action", "associated").str("vif", "wl0");

	EXPECT_EQ(cntlr_handle_sta_event(ext, e.msg(), 0), 0);

	EXPECT_NE(mesh.sta(kSta), nullptr);
	EXPECT_FALSE(log.contains("redundant"));
}

TEST(StaEventRepeatedClient, OuiCountBeyondTheListLooksAtItsThirtyTwoEntriesOnly)
{
	BareMesh mesh;
	LogCapture log;
	struct node *local = mesh.add_node(kZero, true);
	mesh.add_bss(local, "wl0", kBareBss);
	local->mobility_domain[0] = 0x12;
	local->mobility_domain[1] = 0x34;
	memset(local->oui0, 0x02, sizeof(local->oui0));
	// Stored as received; its first byte sits right after the list.
	local->num_oui0 = 0xe8 | 0x300;
	const Mac copy = {0x02, 0x12, 0x34, 0x01, 0x02, 0x03};
	as_update_entry(mesh.c.as_table, copy.data(), kBareBss.data());
	// Its first byte lies past the list: not a translated address, and
	// with both domain bytes equal not a client's own one either.
	EventMsg e;
	e.str("macaddr", "e8:12:34:01:02:03").str("action", "associated").str("vif", "wl0");

	EXPECT_EQ(cntlr_handle_sta_event(local, e.msg(), 0), 0);

	EXPECT_FALSE(log.contains("redundant"));
}

TEST(MonitorSta, BssidOfNoNodeIsReported)
{
	BareMesh mesh;
	LogCapture log;
	mesh.add_bss(mesh.add_node(kZero, true), "wl0", kBareBss);
	const Mac unknown = {0x02, 0x00, 0x00, 0x09, 0x09, 0x09};

	EXPECT_EQ(cntlr_monitor_sta(&mesh.c, kSta.data(), unknown.data()), -1);
	EXPECT_EQ(log.text(), "\033[0;31m\033[0;31mCNTLR: Did not find node for exclude BSSID !\n"
			      "\033[0m");
}

// Hands `text` to the association-list callback the way the command channel
// does: in a zeroed 3072-byte buffer, `len` counting the NUL.
void deliver_assoclist(struct cntlr *c, const std::string &text, bool has_text, const Mac &bssid)
{
	char buf[CMD_RESP_MAX] = {};
	memcpy(buf, text.data(), std::min(text.size(), sizeof(buf) - 1));
	cntlr_assoclist_resp(c, buf, has_text ? (int)strlen(buf) + 1 : 0, (void *)bssid.data());
}

std::string assoclist_text(const std::string &num_sta_hex, const std::vector<Mac> &stas,
			   const std::string &tail = "")
{
	std::vector<uint8_t> rec(16, 0);
	const char ifname[] = "wl0";
	memcpy(rec.data(), ifname, sizeof(ifname));
	char hex[2 * 16 + 1] = {};
	btostr(rec.data(), 16, hex);
	std::string text = std::string(hex) + num_sta_hex;
	for (const Mac &m : stas) {
		char a[13] = {};
		btostr(m.data(), 6, a);
		text += a;
	}
	return text + tail;
}

TEST(AssocList, RepliesEnterTheListedStations)
{
	const Mac s[7] = {
		{0x5c, 0, 0, 0, 0, 1}, {0x5c, 0, 0, 0, 0, 2}, {0x5c, 0, 0, 0, 0, 3},
		{0x5c, 0, 0, 0, 0, 4}, {0x5c, 0, 0, 0, 0, 5}, {0x5c, 0, 0, 0, 0, 6},
		{0x5c, 0, 0, 0, 0, 7},
	};
	const struct {
		const char *name;
		std::string text;
		bool has_text;
		std::vector<Mac> entered;
	} cases[] = {
		{"two stations", assoclist_text("00000002", {s[0], s[1]}, "0000"), true, {s[0], s[1]}},
		{"none announced", assoclist_text("00000000", {s[0], s[1]}), true, {}},
		{"negative count", assoclist_text("ffffffff", {s[0], s[1]}), true, {}},
		{"more than five announced and sent",
		 assoclist_text("00000007", {s[0], s[1], s[2], s[3], s[4], s[5], s[6]}), true,
		 {s[0], s[1], s[2], s[3], s[4]}},
		{"more announced than sent", assoclist_text("00000003", {s[0]}), true, {s[0]}},
		{"text far past the record",
		 assoclist_text("00000001", {s[0]}, std::string(3000, 'f')), true, {s[0]}},
		{"no response text", "", false, {}},
		{"a box of the mesh is not a station",
		 assoclist_text("00000002", {kBareBoxMac, s[1]}), true, {s[1]}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		BareMesh mesh;
		LogCapture log;
		mesh.add_node(kBareBoxMac);
		mesh.add_bss(mesh.add_node(kZero, true), "wl0", kBareBss);

		deliver_assoclist(&mesh.c, c.text, c.has_text, kBareBss);

		std::vector<Mac> entered;
		for (int b = 0; b < AS_TABLE_SIZE; b++)
			for (struct active_sta *a = mesh.c.as_table[b]; a; a = a->next) {
				entered.push_back(to_mac(a->macaddr));
				EXPECT_EQ(to_mac(a->bssid), kBareBss);
			}
		std::sort(entered.begin(), entered.end());
		EXPECT_EQ(entered, c.entered);
		int monitored = 0;
		for (std::string l = log.text(); l.find("Start Monitoring") != std::string::npos;
		     l = l.substr(l.find("Start Monitoring") + 1))
			monitored++;
		EXPECT_EQ(monitored, (int)c.entered.size());
	}
}

// ---- Over the bus, with simulated agents answering.

using cntlrtest::CntlrFixture;

const Mac kRouterBss = {0x02, 0x00, 0x00, 0x01, 0x01, 0x00};
const Mac kExt1Bss0 = {0x02, 0x00, 0x00, 0x02, 0x02, 0x00};
const Mac kExt1Bss1 = {0x02, 0x00, 0x00, 0x02, 0x02, 0x01};
const Mac kExt2Bss = {0x02, 0x00, 0x00, 0x03, 0x03, 0x00};

// The router (mobility domain 12 34, OUI list 02 06) and two extenders,
// discovered and surveyed.
class StaMesh : public CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		sim::agent_config rc = cntlrtest::agent_cfg("", 1, 1);
		rc.mobility_domain = {0x12, 0x34};
		rc.oui0 = {0x02, 0x06};
		router_ = &add_agent(rc);
		ext1_ = &add_agent(cntlrtest::agent_cfg("192.168.1.2", 2, 2));
		ext2_ = &add_agent(cntlrtest::agent_cfg("192.168.1.3", 3, 1));
	}
	void start()
	{
		discover();
		cntlr_survey(cntlr());
		cancel_node_timers();
		ASSERT_NE(cntlr()->lnode, nullptr);
		ASSERT_EQ(cntlr()->lnode->num_oui0, 2);
		journal().clear();
		clear_logs();
	}
	struct active_sta *sta(const Mac &m) { return as_lookup(cntlr()->as_table, m.data()); }
	struct active_sta *put(const Mac &m, const Mac &bssid)
	{
		return as_update_entry(cntlr()->as_table, m.data(), bssid.data());
	}
	int event(struct node *n, const Mac &m, const char *action, const char *vif,
		  int from_remote)
	{
		EventMsg e;
		e.str("macaddr", mac_str(m)).str("action", action).str("vif", vif);
		return cntlr_handle_sta_event(n, e.msg(), from_remote);
	}
	// The disconnect_sta calls as "agent ifname sta" lines.
	std::vector<std::string> disconnects()
	{
		std::vector<std::string> out;
		for (const auto &d : journal().disconnects())
			out.push_back(d.agent + " " + d.ifname + " " + d.sta);
		return out;
	}

	sim::agent *router_ = nullptr;
	sim::agent *ext1_ = nullptr;
	sim::agent *ext2_ = nullptr;
};

TEST_F(StaMesh, RoamingStationIsDroppedByTheBoxItLeft)
{
	start();
	put(kSta, kRouterBss);
	StderrCapture err(dir().file("stderr.txt"));

	ext1_->associate("wl1", kSta);
	ASSERT_TRUE(pump_until([&] {
		struct active_sta *s = sta(kSta);
		return s && to_mac(s->bssid) == kExt1Bss1;
	}));
	std::string separators = err.finish();

	EXPECT_EQ(disconnects(),
		  std::vector<std::string>{router_->name() + " wl0 5c:aa:bb:01:02:03"});
	EXPECT_EQ(to_mac(sta(kSta)->old_bssid), kRouterBss);
	EXPECT_EQ(receivers(CMD_MONITOR_STA),
		  (std::vector<std::string>{ext2_->name(), router_->name()}));
	for (const auto &r : journal().commands(CMD_MONITOR_STA))
		EXPECT_EQ(r.data, "5caabb010203");
	std::string four(4 * 43, '#');
	for (size_t i = 42; i < four.size(); i += 43)
		four[i] = '\n';
	EXPECT_EQ(separators, four + four);
	for (const char *prefix : {"", "192.168.1.3"}) {
		struct node *n = node_of(prefix);
		char line[96];
		snprintf(line, sizeof(line), "Send MONITOR_STA to node (%p:%p)---->\n", (void *)n,
			 (void *)(uintptr_t)n->agent_id);
		EXPECT_EQ(count_log(cntlrtest::trace(line)), 1) << line;
	}
	EXPECT_EQ(count_log(cntlrtest::plain(
			  "Invoking disconnect_sta for client = 5c:aa:bb:01:02:03 from node = "
			  "00:00:00:00:00:00\n")),
		  1);
	// Named as the steering reasons name BSSes.
	char reason[HISTORY_REASON_LEN];
	EXPECT_STREQ(hist_reason(cntlr(), cntlr_history_at(cntlr_history_count() - 1), reason),
		     "left router/wl0 for 192.168.1.2/wl1");
}

TEST_F(StaMesh, DisassociationReportsOfARoamedStation)
{
	start();
	struct node *router = node_of("");
	struct node *ext1 = node_of("192.168.1.2");
	ASSERT_NE(ext1, nullptr);

	// The late report of the BSS it left: forget that BSS, keep the record.
	put(kSta, kRouterBss);
	put(kSta, kExt1Bss0);
	EXPECT_EQ(event(router, kSta, "disassociated", "wl0", 0), 0);
	ASSERT_NE(sta(kSta), nullptr);
	EXPECT_EQ(to_mac(sta(kSta)->bssid), kExt1Bss0);
	EXPECT_EQ(to_mac(sta(kSta)->old_bssid), kZero);
	EXPECT_TRUE(disconnects().empty());

	// Leaving the BSS it is on: the one before drops it too.
	put(kSta, kRouterBss);
	put(kSta, kExt1Bss0);
	EXPECT_EQ(event(ext1, kSta, "disassociated", "wl0", 1), 0);
	EXPECT_EQ(sta(kSta), nullptr);
	EXPECT_EQ(disconnects(),
		  std::vector<std::string>{router_->name() + " wl0 5c:aa:bb:01:02:03"});
	EXPECT_EQ(journal().count(CMD_MONITOR_STA), 0u);
}

TEST_F(StaMesh, RepeatedClientCopiesAreDisconnected)
{
	const Mac copy02 = {0x02, 0x12, 0x34, 0x01, 0x02, 0x03};
	const Mac copy06 = {0x06, 0x12, 0x34, 0x01, 0x02, 0x03};
	const Mac one_byte = {0x5c, 0x12, 0xbb, 0x01, 0x02, 0x03};
	const Mac not_in_list = {0x0a, 0x12, 0x34, 0x01, 0x02, 0x03};
	const std::string r = "local ", e1 = "192.168.1.2 ", e2 = "192.168.1.3 ";
	const struct {
		const char *name;
		Mac reported;
		const char *reporter; // prefix
		const char *vif;
		int from_remote;
		std::vector<std::string> disconnects;
	} cases[] = {
		// Chain order is newest first: copy06, then copy02.
		{"the client itself, on the router", kSta, "", "wl0", 0,
		 {e2 + "wl0 06:12:34:01:02:03", e1 + "wl1 06:12:34:01:02:03",
		  e1 + "wl0 02:12:34:01:02:03"}},
		{"the client itself, on an extender", kSta, "192.168.1.2", "wl0", 1, {}},
		{"a copy, from any box", copy06, "192.168.1.3", "wl0", 1,
		 {e1 + "wl0 02:12:34:01:02:03"}},
		{"one byte of the domain", one_byte, "", "wl0", 0, {}},
		{"first byte not in the list", not_in_list, "", "wl0", 0, {}},
	};
	start();
	ASSERT_EQ(router_->name() + " ", r);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		put(copy02, kExt1Bss0);
		put(copy06, kExt1Bss1);
		put(copy06, kExt2Bss);
		if (c.reported == copy06)
			put(kSta, kRouterBss);
		journal().clear();
		clear_logs();

		EXPECT_EQ(event(node_of(c.reporter), c.reported, "associated", c.vif,
				c.from_remote),
			  0);

		EXPECT_EQ(disconnects(), c.disconnects);
		// The copies stay until they leave.
		EXPECT_NE(sta(copy02), nullptr);
		EXPECT_NE(sta(copy06), nullptr);
		EXPECT_NE(sta(c.reported), nullptr);
		if (c.reported == kSta && c.from_remote == 0) {
			EXPECT_EQ(count_log(cntlrtest::plain("Disconnecting redundant repeated client "
							     "06:12:34:01:02:03\n")),
				  1);
			EXPECT_EQ(count_log(cntlrtest::plain("Disconnecting redundant repeated client "
							     "02:12:34:01:02:03\n")),
				  1);
		}
		as_clean_all(cntlr()->as_table);
	}
}

TEST_F(StaMesh, MonitorSkipsTheOwnerAndBoxesWithoutBsses)
{
	start();
	// Found by the scan, but its BSS list has not been read yet.
	sim::agent &late = add_agent(cntlrtest::agent_cfg("192.168.1.4", 4, 1));
	scan();
	ASSERT_NE(node_of("192.168.1.4"), nullptr);
	ASSERT_TRUE(list_empty(&node_of("192.168.1.4")->fhbsslist));
	cancel_node_timers();

	EXPECT_EQ(cntlr_monitor_sta(cntlr(), kSta.data(), kExt2Bss.data()), 0);

	EXPECT_EQ(receivers(CMD_MONITOR_STA),
		  (std::vector<std::string>{ext1_->name(), router_->name()}));
	EXPECT_EQ(journal().count(CMD_MONITOR_STA, late.name()), 0u);
}

TEST_F(StaMesh, DisconnectCarriesASixteenCharacterInterfaceNameWhole)
{
	sim::agent_config cfg = cntlrtest::agent_cfg("192.168.1.4", 4, 1);
	cfg.bsses[0].ifname = "wlan0-ap-long-16";
	add_agent(cfg);
	start();
	const Mac bss4 = {0x02, 0x00, 0x00, 0x04, 0x04, 0x00};
	put(kSta, bss4);

	EXPECT_EQ(event(node_of("192.168.1.2"), kSta, "associated", "wl0", 1), 0);

	EXPECT_EQ(disconnects(),
		  std::vector<std::string>{"192.168.1.4 wlan0-ap-long-16 5c:aa:bb:01:02:03"});
}

TEST_F(StaMesh, FailedDisconnectStillMovesTheStation)
{
	sim::agent_config nowifix = cntlrtest::agent_cfg("192.168.1.4", 4, 1);
	nowifix.wifix = false;
	add_agent(nowifix);
	start();
	const Mac bss4 = {0x02, 0x00, 0x00, 0x04, 0x04, 0x00};
	put(kSta, bss4);

	EXPECT_EQ(event(node_of("192.168.1.2"), kSta, "associated", "wl0", 1), 0);

	EXPECT_TRUE(disconnects().empty());
	EXPECT_EQ(count_log(cntlrtest::plain("Failed to disconnect_sta (ret = 4)\n")), 1);
	ASSERT_NE(sta(kSta), nullptr);
	EXPECT_EQ(to_mac(sta(kSta)->bssid), kExt1Bss0);
	EXPECT_EQ(to_mac(sta(kSta)->old_bssid), bss4);
}

} // namespace
