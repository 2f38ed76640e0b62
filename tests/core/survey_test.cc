// The start-up survey against simulated agents, and the decoding of the
// local agent's mobility domain and OUI list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/records.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_survey.h"
#include "tests/core/cntlr_fixture.h"
#include "tests/core/sta_util.h"

namespace {

using cntlrtest::CntlrFixture;
using cntlrtest::plain;

std::string agent_text(uint32_t id)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "%p", reinterpret_cast<void *>(static_cast<uintptr_t>(id)));
	return buf;
}

// The request GET_ASSOCLIST should carry for `ifname`.
std::vector<uint8_t> assoclist_request(const std::string &ifname)
{
	std::vector<uint8_t> rec(sim::ASSOCLIST_LEN, 0);
	memcpy(rec.data(), ifname.data(), std::min<size_t>(ifname.size(), 16));
	return rec;
}

class Survey : public CntlrFixture {
protected:
	void discover_quietly()
	{
		discover();
		cancel_node_timers();
		journal().clear();
		clear_logs();
	}
};

TEST_F(Survey, AsksEveryNodeOnceAndTheLocalAgentForItsOwnFacts)
{
	const sim::mac_addr sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	sim::agent_config lcfg = cntlrtest::agent_cfg("", 1, 2);
	lcfg.mobility_domain = {0xa1, 0xb2};
	lcfg.oui0 = {0x02, 0x06};
	add_agent(lcfg);
	sim::agent_config ecfg = cntlrtest::agent_cfg("192.168.1.2", 2, 3);
	ecfg.bsses[2].ifname = "abcdefghijklmnop"; // fills the field, no terminator
	sim::agent &ext = add_agent(ecfg);
	ext.add_station("wl1", sta);
	discover_quietly();
	struct node *l = node_of(""), *e = node_of("192.168.1.2");
	ASSERT_NE(l, nullptr);
	ASSERT_NE(e, nullptr);
	const uint8_t emac[6] = {0x02, 0xaa, 0, 0, 0, 2};
	memcpy(e->macaddr, emac, 6);

	cntlr_survey(cntlr());

	// The fixed series first; GET_ASSOCLIST replies then bring MONITOR_STA.
	auto cmds = journal().commands();
	std::vector<int> head;
	for (size_t i = 0; i < cmds.size() && i < 6; i++)
		head.push_back(cmds[i].id);
	EXPECT_EQ(head, (std::vector<int>{CMD_STEER_EXCLUDE, CMD_STEER_EXCLUDE, CMD_GET_BSS_INFO,
					  CMD_GET_BSS_INFO, CMD_GET_MOBID, CMD_GET_OUI}));
	EXPECT_EQ(journal().count(CMD_GET_BSS_INFO, "local"), 1u);
	EXPECT_EQ(journal().count(CMD_GET_BSS_INFO, "192.168.1.2"), 1u);
	EXPECT_EQ(journal().count(CMD_GET_MOBID, "local"), 1u);
	EXPECT_EQ(journal().count(CMD_GET_OUI, "local"), 1u);
	EXPECT_EQ(journal().count(CMD_GET_MOBID), 1u);
	EXPECT_EQ(journal().count(CMD_GET_OUI), 1u);
	for (struct node *n : {l, e}) {
		EXPECT_EQ(count_log(cntlrtest::trace("CMD GET_BSSINFO to agent @ (" +
						     agent_text(n->agent_id) + ") " +
						     sim::mac_text(sim::mac_addr{
							     n->macaddr[0], n->macaddr[1],
							     n->macaddr[2], n->macaddr[3],
							     n->macaddr[4], n->macaddr[5]}) +
						     "\n")),
			  1);
	}

	// One GET_ASSOCLIST per BSS, node by node and in each list's order.
	std::vector<std::pair<std::string, std::string>> want;
	for (struct node *n : {l, e}) {
		struct fhbss *f;
		list_for_each_entry(f, &n->fhbsslist, list)
			want.emplace_back(n == l ? "local" : "192.168.1.2",
					  std::string(f->ifname, strnlen(f->ifname, 16)));
	}
	// The survey walks nodelist from its head.
	if (list_first_entry(&cntlr()->nodelist, struct node, list) == e)
		std::rotate(want.begin(), want.begin() + 2, want.end());
	auto asks = journal().commands(CMD_GET_ASSOCLIST);
	ASSERT_EQ(asks.size(), 5u);
	for (size_t i = 0; i < asks.size(); i++) {
		SCOPED_TRACE(want[i].second);
		EXPECT_EQ(asks[i].agent, want[i].first);
		EXPECT_EQ(asks[i].data.size(), 104u);
		EXPECT_EQ(asks[i].payload, assoclist_request(want[i].second));
	}

	EXPECT_EQ(l->mobility_domain[0], 0xa1);
	EXPECT_EQ(l->mobility_domain[1], 0xb2);
	EXPECT_EQ(l->num_oui0, 2);
	EXPECT_EQ(l->oui0[0], 0x02);
	EXPECT_EQ(l->oui0[1], 0x06);
	EXPECT_EQ(count_log(plain("Received mobility domain = a1b2\n")), 1);
	EXPECT_EQ(count_log(plain("Received 2 different oui0s\n")), 1);

	// The reply was filed under the BSS that was asked.
	struct active_sta *s = as_lookup(cntlr()->as_table, sta.data());
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(sim::mac_text({s->bssid[0], s->bssid[1], s->bssid[2], s->bssid[3], s->bssid[4],
				 s->bssid[5]}),
		  sim::mac_text(ecfg.bsses[1].bssid));
	EXPECT_EQ(count_log("Failed to get assoclist"), 0);
}

TEST_F(Survey, WithoutLocalNodeMobidAndOuiAreNeverAsked)
{
	add_agent("192.168.1.2", 2);
	add_agent("192.168.1.3", 1);
	discover_quietly();
	ASSERT_EQ(cntlr()->lnode, nullptr);

	cntlr_survey(cntlr());

	EXPECT_EQ(journal().count(CMD_GET_MOBID), 0u);
	EXPECT_EQ(journal().count(CMD_GET_OUI), 0u);
	EXPECT_EQ(journal().count(CMD_GET_BSS_INFO), 2u);
	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST, "192.168.1.2"), 2u);
	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST, "192.168.1.3"), 1u);
}

TEST_F(Survey, FailedAssoclistIsReportedAndTheNextBssStillAsked)
{
	add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 2);
	ext.set_fault({sim::fault_kind::error_status, UBUS_STATUS_NOT_FOUND, ""},
		      CMD_GET_ASSOCLIST);
	discover_quietly();

	cntlr_survey(cntlr());

	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST, "192.168.1.2"), 2u);
	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST, "local"), 1u);
	EXPECT_EQ(count_log(plain("Failed to get assoclist (ret = 4)\n")), 2);
}

// A box announced by a presence event after the start-up survey is surveyed
// once, from the loop, so the stations already on it are known.
TEST_F(Survey, ABoxThatAppearsLaterIsSurveyedOnce)
{
	const sim::mac_addr sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	add_agent("192.168.1.2", 1);
	discover_quietly();
	cntlr_survey(cntlr());
	cntlr_register_handlers(cntlr());
	journal().clear();
	sim::agent_config cfg = cntlrtest::agent_cfg("192.168.1.3", 3, 2);
	add_agent(cfg).add_station("wl1", sta);

	ASSERT_TRUE(pump_until([&] { return journal().count(CMD_GET_ASSOCLIST) == 2; }));
	struct active_sta *s = as_lookup(cntlr()->as_table, sta.data());
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(memcmp(s->bssid, cfg.bsses[1].bssid.data(), 6), 0);
	// Once: the next pass asks nobody for association lists.
	cntlr_neighbor_timer(&cntlr()->nbr_timer);
	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST), 2u);
}

// Hands `text` to a reply callback as the command channel does: in a zeroed
// 3072-byte buffer, `len` counting the NUL, 0 without a text.
template <typename Cb>
void deliver(Cb cb, struct node *n, const std::string &text, bool has_text = true)
{
	std::vector<char> buf(CMD_RESP_MAX, 0);
	memcpy(buf.data(), text.data(), std::min(text.size(), buf.size() - 1));
	cb(nullptr, buf.data(), has_text ? (int)strlen(buf.data()) + 1 : 0, n);
}

TEST(MobidReply, StoresTwoBytesInOrderAndKeepsWhatIsNotDecoded)
{
	const struct {
		const char *name;
		uint8_t before[2];
		std::string text;
		bool has_text;
		uint8_t after[2];
		const char *line;
	} cases[] = {
		{"a1b2", {0, 0}, "a1b2", true, {0xa1, 0xb2}, "a1b2"},
		{"upper case", {0, 0}, "A1B2", true, {0xa1, 0xb2}, "a1b2"},
		{"empty reply", {0, 0}, "", false, {0, 0}, "0000"},
		{"empty text", {0x12, 0x34}, "", true, {0x12, 0x34}, "1234"},
		{"one byte", {0x12, 0x34}, "a1", true, {0xa1, 0x34}, "a134"},
		{"not hex", {0x12, 0x34}, "zzb2", true, {0x12, 0x34}, "1234"},
		{"longer than the field", {0, 0}, "a1b2c3d4", true, {0xa1, 0xb2}, "a1b2"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		statest::LogCapture log;
		struct node n = {};
		memcpy(n.mobility_domain, c.before, 2);

		deliver(cntlr_mobid_resp, &n, c.text, c.has_text);

		EXPECT_EQ(n.mobility_domain[0], c.after[0]);
		EXPECT_EQ(n.mobility_domain[1], c.after[1]);
		EXPECT_EQ(n.oui0[0], 0); // the next field is never written
		EXPECT_EQ(log.text(),
			  plain(std::string("Received mobility domain = ") + c.line + "\n"));
	}
}

// The agent writes the count as it lies in its memory: in the byte order of
// the box, which the controller shares.
std::string oui_text(int32_t count, const std::vector<uint8_t> &entries)
{
	uint8_t in_memory[sizeof(count)];
	memcpy(in_memory, &count, sizeof(count));
	return sim::encode_hex({in_memory, in_memory + sizeof(count)}) + sim::encode_hex(entries);
}

TEST(OuiReply, CountInHostOrderAndNeverPastThirtyTwoEntries)
{
	std::vector<uint8_t> full(32);
	for (int i = 0; i < 32; i++)
		full[i] = (uint8_t)(i + 1);
	std::vector<uint8_t> over = full;
	over.push_back(0xee);
	over.push_back(0xee);

	const struct {
		const char *name;
		std::string text;
		bool has_text;
		int32_t num;
		std::vector<uint8_t> head; // oui0 from its start; the rest zero
		std::vector<std::string> lines;
	} cases[] = {
		{"two entries", oui_text(2, {0x02, 0x06}), true, 2, {0x02, 0x06},
		 {"Received 2 different oui0s\n", "oui0[0] = 2\n", "oui0[1] = 6\n"}},
		{"count zero", "00000000", true, 0, {}, {}},
		{"empty reply", "", false, 0, {}, {}},
		{"count zero keeps the entries sent", oui_text(0, {0x02}), true, 0, {0x02}, {}},
		{"negative count", oui_text(-1, {0x02}), true, -1, {0x02},
		 {"Received -1 different oui0s\n"}},
		{"count above 32, longer text", oui_text(40, over), true, 40, full,
		 [] {
			 std::vector<std::string> l = {"Received 40 different oui0s\n",
						       "GET_OUI num_oui0 = 40 > 32 !\n"};
			 for (int i = 0; i < 32; i++)
				 l.push_back("oui0[" + std::to_string(i) + "] = " +
					     std::to_string(i + 1) + "\n");
			 return l;
		 }()},
		{"count in the other byte order is taken as it stands",
		 oui_text(static_cast<int32_t>(__builtin_bswap32(2)), {0x02, 0x06}), true, 0x02000000, {0x02, 0x06},
		 [] {
			 std::vector<std::string> l = {"Received 33554432 different oui0s\n",
						       "GET_OUI num_oui0 = 33554432 > 32 !\n",
						       "oui0[0] = 2\n", "oui0[1] = 6\n"};
			 for (int i = 2; i < 32; i++)
				 l.push_back("oui0[" + std::to_string(i) + "] = 0\n");
			 return l;
		 }()},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		statest::LogCapture log;
		struct node n = {};
		memset(n.oui0, 0x55, sizeof(n.oui0));
		n.num_oui0 = 7;

		deliver(cntlr_oui_resp, &n, c.text, c.has_text);

		EXPECT_EQ(n.num_oui0, c.num);
		std::vector<uint8_t> want(32, 0);
		std::copy(c.head.begin(), c.head.end(), want.begin());
		EXPECT_EQ(std::vector<uint8_t>(n.oui0, n.oui0 + 32), want);
		std::string expected;
		for (const auto &l : c.lines)
			expected += plain(l);
		EXPECT_EQ(log.text(), expected);
	}
}

} // namespace
