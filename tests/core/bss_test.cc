#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_node.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::plain;
using cntlrtest::trace;

struct entry {
	std::string ifname; // up to 16 bytes
	std::string ssid;   // up to 33 bytes
	std::vector<uint8_t> bssid;
	uint32_t bssid_info = 0x108f;
	uint8_t opclass = 115;
	uint8_t phy_type = 9;
};

void put_be32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
	b[at] = (uint8_t)(v >> 24);
	b[at + 1] = (uint8_t)(v >> 16);
	b[at + 2] = (uint8_t)(v >> 8);
	b[at + 3] = (uint8_t)v;
}

// The hex text of a GET_BSS_INFO reply.
std::string bss_reply(int channel, int num_bss, const std::vector<entry> &entries)
{
	std::vector<uint8_t> b(12 + 61 * entries.size(), 0);
	std::string hex;
	char pair[3];

	put_be32(b, 4, (uint32_t)channel);
	put_be32(b, 8, (uint32_t)num_bss);
	for (size_t i = 0; i < entries.size(); i++) {
		size_t at = 12 + 61 * i;
		const entry &e = entries[i];

		memcpy(&b[at], e.ifname.data(), std::min<size_t>(e.ifname.size(), 16));
		put_be32(b, at + 16, e.bssid_info);
		memcpy(&b[at + 20], e.bssid.data(), 6);
		b[at + 26] = e.opclass;
		b[at + 27] = e.phy_type;
		memcpy(&b[at + 28], e.ssid.data(), std::min<size_t>(e.ssid.size(), 33));
	}
	for (uint8_t v : b) {
		snprintf(pair, sizeof(pair), "%02x", v);
		hex += pair;
	}
	return hex;
}

std::vector<uint8_t> mac(uint8_t last)
{
	return {0x02, 0x11, 0x22, 0x33, 0x44, last};
}

std::string mac_str(const uint8_t *m)
{
	char buf[18];

	snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
		 m[5]);
	return buf;
}

class FronthaulBss : public cntlrtest::CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		// No agent behind it: the node only holds the list.
		ASSERT_EQ(topology_add_node(cntlr(), "192.168.1.2"), 0);
		n_ = node_of("192.168.1.2");
		ASSERT_NE(n_, nullptr);
		cancel_node_timers();
		clear_logs();
	}

	void feed(struct node *n, const std::string &hex)
	{
		std::vector<char> buf(CMD_RESP_MAX, 0);

		ASSERT_LT(hex.size(), buf.size());
		memcpy(buf.data(), hex.data(), hex.size());
		update_fronthaul_bsslist(cntlr(), buf.data(), (int)hex.size() + 1, n);
	}

	std::vector<struct fhbss *> list(struct node *n)
	{
		std::vector<struct fhbss *> out;
		struct fhbss *f;

		list_for_each_entry(f, &n->fhbsslist, list)
			out.push_back(f);
		return out;
	}

	struct node *n_ = nullptr;
};

TEST_F(FronthaulBss, FirstReplyAddsNewestFirst)
{
	feed(n_, bss_reply(36, 3,
			   {{"wl0", "home", mac(1), 0x108f, 115, 9},
			    {"wl1", "home", mac(2), 0x1234, 128, 7},
			    {"wl2", "guest", mac(3), 0x5678, 129, 6}}));

	auto l = list(n_);
	ASSERT_EQ(l.size(), 3u);
	EXPECT_EQ(mac_str(l[0]->bssid), "02:11:22:33:44:03");
	EXPECT_EQ(mac_str(l[1]->bssid), "02:11:22:33:44:02");
	EXPECT_EQ(mac_str(l[2]->bssid), "02:11:22:33:44:01");
	EXPECT_STREQ(l[0]->ifname, "wl2");
	EXPECT_STREQ(l[0]->ssid, "guest");
	EXPECT_EQ(l[0]->bssid_info, 0x5678u);
	EXPECT_EQ(l[0]->opclass, 129);
	EXPECT_EQ(l[0]->phy_type, 6);
	for (auto *f : l) {
		EXPECT_EQ(f->channel, 36);
		EXPECT_NE(f->updated_at.tv_sec, 0);
	}
	for (int i = 1; i <= 3; i++)
		EXPECT_EQ(count_log(trace("update_fronthaul_bsslist: Add fronthaul BSS 02:11:22:33:44:0" +
					  std::to_string(i) + " for node\n")),
			  1);
	EXPECT_EQ(count_log(trace("[0] node   = 192.168.1.2\n")), 1);
	EXPECT_EQ(count_log(trace("[1] ifname = wl1\n")), 1);
	EXPECT_EQ(count_log(trace("[2] bssid  = 02:11:22:33:44:03\n")), 1);
	EXPECT_EQ(count_log(trace("[2] ssid   = guest\n")), 1);
	EXPECT_EQ(count_log(trace("[1] channel= 36\n")), 1);
}

TEST_F(FronthaulBss, LaterReplyUpdatesInPlaceButKeepsNameAndSsid)
{
	feed(n_, bss_reply(36, 2, {{"wl0", "home", mac(1)}, {"wl1", "", mac(2)}}));
	auto before = list(n_);
	ASSERT_EQ(before.size(), 2u);
	struct timespec stamp = before[0]->updated_at;
	clear_logs();

	feed(n_, bss_reply(149, 2,
			   {{"wlan9", "renamed", mac(1), 0xabcd, 125, 4},
			    {"wlan8", "filled", mac(2), 0xbeef, 126, 5}}));

	auto after = list(n_);
	ASSERT_EQ(after, before);
	struct fhbss *b1 = after[1], *b2 = after[0];
	EXPECT_STREQ(b1->ifname, "wl0");
	EXPECT_STREQ(b1->ssid, "home");
	EXPECT_STREQ(b2->ifname, "wl1");
	// An empty SSID is learnt from a later reply.
	EXPECT_STREQ(b2->ssid, "filled");
	EXPECT_EQ(b1->bssid_info, 0xabcdu);
	EXPECT_EQ(b1->opclass, 125);
	EXPECT_EQ(b1->phy_type, 4);
	EXPECT_EQ(b1->channel, 149);
	EXPECT_EQ(b2->channel, 149);
	EXPECT_TRUE(b2->updated_at.tv_sec > stamp.tv_sec ||
		    (b2->updated_at.tv_sec == stamp.tv_sec && b2->updated_at.tv_nsec >= stamp.tv_nsec));
	EXPECT_EQ(count_log(trace("Update fronthaul BSS 02:11:22:33:44:01 for node remote\n")), 1);
	EXPECT_EQ(count_log("Add fronthaul BSS"), 0);

	// A BSS the agent no longer reports stays.
	feed(n_, bss_reply(36, 1, {{"wl1", "", mac(2)}}));
	EXPECT_EQ(list(n_).size(), 2u);
}

TEST_F(FronthaulBss, RepliesThatAddNothing)
{
	const struct {
		const char *what;
		std::string hex;
		std::string logged;
	} cases[] = {
		{"five announced", bss_reply(36, 5, {{"wl0", "a", mac(1)}, {"wl1", "b", mac(2)}}),
		 plain("GET_BSSINFO num_bss = 5 > 4 !\n")},
		{"none announced", bss_reply(36, 0, {{"wl0", "a", mac(1)}}), ""},
		{"negative count", bss_reply(36, -1, {{"wl0", "a", mac(1)}}), ""},
		{"empty text", "", ""},
		{"not hex", "zz" + bss_reply(36, 1, {{"wl0", "a", mac(1)}}), ""},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.what);
		clear_logs();
		feed(n_, tc.hex);
		EXPECT_TRUE(list_empty(&n_->fhbsslist));
		EXPECT_EQ(logs(), tc.logged);
	}
}

TEST_F(FronthaulBss, ZeroBssidEntriesAreSkipped)
{
	const std::string zero_msg = "GET_BSSINFO ret macaddr zero; don't update yet\n";

	feed(n_, bss_reply(36, 3,
			   {{"wl0", "a", mac(1)}, {"wl1", "b", {0, 0, 0, 0, 0, 0}}, {"wl2", "c", mac(3)}}));
	auto l = list(n_);
	ASSERT_EQ(l.size(), 2u);
	EXPECT_EQ(mac_str(l[0]->bssid), "02:11:22:33:44:03");
	EXPECT_EQ(mac_str(l[1]->bssid), "02:11:22:33:44:01");
	EXPECT_EQ(count_log(zero_msg), 1);

	// The message carries no colour at all.
	clear_logs();
	feed(n_, bss_reply(36, 1, {{"wl1", "b", {0, 0, 0, 0, 0, 0}}}));
	EXPECT_EQ(logs(), zero_msg);

	// A reply shorter than announced reads as zero entries after its end.
	clear_logs();
	std::string hex = bss_reply(36, 3, {{"wl3", "d", mac(4)}});
	feed(n_, hex);
	EXPECT_EQ(list(n_).size(), 3u);
	EXPECT_EQ(count_log(zero_msg), 2);
}

TEST_F(FronthaulBss, SameBssidTwiceInOneReplyAddsThenUpdates)
{
	feed(n_, bss_reply(36, 2, {{"wl0", "a", mac(1), 1}, {"wl9", "b", mac(1), 2}}));

	auto l = list(n_);
	ASSERT_EQ(l.size(), 1u);
	EXPECT_STREQ(l[0]->ifname, "wl0");
	EXPECT_STREQ(l[0]->ssid, "a");
	EXPECT_EQ(l[0]->bssid_info, 2u);
	EXPECT_EQ(count_log("Add fronthaul BSS"), 1);
	EXPECT_EQ(count_log("Update fronthaul BSS"), 1);
}

TEST_F(FronthaulBss, FullWidthFieldsStayBounded)
{
	const std::string name16 = "abcdefghijklmnop";
	const std::string ssid33(33, 's');

	feed(n_, bss_reply(36, 1, {{name16, ssid33, mac(1)}}));

	auto l = list(n_);
	ASSERT_EQ(l.size(), 1u);
	EXPECT_EQ(std::string(l[0]->ifname, 16), name16);
	// The SSID keeps at most 32 characters and its terminator.
	EXPECT_EQ(std::string(l[0]->ssid), std::string(32, 's'));
	EXPECT_EQ(count_log(trace("[0] ifname = " + name16 + "\n")), 1);
	EXPECT_EQ(count_log(trace("[0] ssid   = " + std::string(32, 's') + "\n")), 1);
}

TEST_F(FronthaulBss, LocalNodeIsNamedLocal)
{
	add_agent("", 1);
	scan();
	struct node *ln = cntlr()->lnode;
	ASSERT_NE(ln, nullptr);
	cancel_node_timers();
	clear_logs();

	feed(ln, bss_reply(1, 1, {{"wl0", "a", mac(1)}}));
	feed(ln, bss_reply(1, 1, {{"wl0", "a", mac(1)}}));
	EXPECT_EQ(count_log(trace("[0] node   = local\n")), 2);
	EXPECT_EQ(count_log(trace("Update fronthaul BSS 02:11:22:33:44:01 for node local\n")), 1);
}

TEST_F(FronthaulBss, FindNodeByBssidTakesTheFirstNodeInListOrder)
{
	ASSERT_EQ(topology_add_node(cntlr(), "192.168.1.3"), 0);
	struct node *n3 = node_of("192.168.1.3");
	cancel_node_timers();

	feed(n_, bss_reply(36, 2, {{"wl0", "a", mac(1)}, {"wl1", "a", mac(2)}}));
	feed(n3, bss_reply(36, 2, {{"wl0", "b", mac(3)}, {"wl1", "b", mac(2)}}));

	auto m1 = mac(1), m2 = mac(2), m3 = mac(3), m9 = mac(9);
	EXPECT_EQ(find_node_by_bssid(cntlr(), m1.data()), n_);
	EXPECT_EQ(find_node_by_bssid(cntlr(), m3.data()), n3);
	EXPECT_EQ(find_node_by_bssid(cntlr(), m9.data()), nullptr);
	// Both report it; n3 is newer and so first on the list.
	EXPECT_EQ(find_node_by_bssid(cntlr(), m2.data()), n3);
}

class BssinfoTimer : public cntlrtest::CntlrFixture {};

TEST_F(BssinfoTimer, QueriesTheAgentAndRearmsEvenWhenItFails)
{
	sim::agent &ext = add_agent("192.168.1.2", 3);
	scan();
	struct node *n = node_of("192.168.1.2");
	ASSERT_NE(n, nullptr);

	int first = uloop_timeout_remaining(&n->bssinfo_timer);
	EXPECT_GT(first, 2500);
	EXPECT_LE(first, 3000);

	node_bssinfo_timer(&n->bssinfo_timer);
	EXPECT_EQ(journal().count(CMD_GET_BSS_INFO, "192.168.1.2"), 1u);
	int again = uloop_timeout_remaining(&n->bssinfo_timer);
	EXPECT_GT(again, 29500);
	EXPECT_LE(again, 30000);

	std::vector<std::string> got;
	struct fhbss *f;
	list_for_each_entry(f, &n->fhbsslist, list)
		got.push_back(mac_str(f->bssid));
	auto cfg = ext.config();
	ASSERT_EQ(got.size(), 3u);
	for (size_t i = 0; i < 3; i++)
		EXPECT_EQ(got[i], sim::mac_text(cfg.bsses[2 - i].bssid));

	// A failing agent: the list stays, the timer runs on.
	ext.set_fault({sim::fault_kind::error_status, -1, ""}, CMD_GET_BSS_INFO);
	uloop_timeout_cancel(&n->bssinfo_timer);
	node_bssinfo_timer(&n->bssinfo_timer);
	EXPECT_EQ(journal().count(CMD_GET_BSS_INFO, "192.168.1.2"), 2u);
	again = uloop_timeout_remaining(&n->bssinfo_timer);
	EXPECT_GT(again, 29500);
	EXPECT_LE(again, 30000);
	size_t count = 0;
	list_for_each_entry(f, &n->fhbsslist, list)
		count++;
	EXPECT_EQ(count, 3u);
}

} // namespace
