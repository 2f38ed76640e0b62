// Neighbor distribution, steering exclusion and node release, against
// simulated agents on a private bus.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sim/records.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_nbr.h"
#include "src/main.h"
#include "src/mtrace.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;
using cntlrtest::trace;

std::string ptr_text(const void *p)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "%p", p);
	return buf;
}

std::string agent_text(uint32_t id)
{
	return ptr_text(reinterpret_cast<void *>(static_cast<uintptr_t>(id)));
}

sim::mac_addr mac_of(const uint8_t *p)
{
	sim::mac_addr m;
	std::copy(p, p + 6, m.begin());
	return m;
}

class NeighborMesh : public CntlrFixture {
protected:
	// Discovers the agents, reads every BSS list once and leaves the
	// journal and the log empty.
	void bring_up()
	{
		struct node *n;

		discover();
		cancel_node_timers();
		list_for_each_entry(n, &cntlr()->nodelist, list)
			cntlr_send_cmd(cntlr(), n->agent_id, CMD_GET_BSS_INFO, nullptr, 0,
				       update_fronthaul_bsslist, n);
		journal().clear();
		clear_logs();
	}

	// Gives the nodes, in list order, the MACs 02:00:00:00:00:01, ...
	std::vector<std::string> number_node_macs(bool skip_local = true)
	{
		std::vector<std::string> texts;
		struct node *n;

		list_for_each_entry(n, &cntlr()->nodelist, list) {
			if (skip_local && n->is_local)
				continue;
			uint8_t mac[6] = {0x02, 0, 0, 0, 0, (uint8_t)(texts.size() + 1)};
			memcpy(n->macaddr, mac, 6);
			texts.push_back(sim::mac_text(mac_of(mac)));
		}
		return texts;
	}

	std::string agent_name_of(struct node *n)
	{
		if (n->is_local)
			return "local";
		char ip[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &n->ipaddr, ip, sizeof(ip));
		return ip;
	}
};

TEST_F(NeighborMesh, NeighborPassGivesEachNodeTheOtherNodesBsses)
{
	sim::agent &local = add_agent("", 2);
	sim::agent &ext = add_agent("192.168.1.2", 2);
	bring_up();
	ASSERT_EQ(cntlr()->num_nodes, 2);

	cntlr_neighbor_timer(&cntlr()->nbr_timer);

	auto cmds = journal().commands(CMD_ADD_NEIGHBOR);
	ASSERT_EQ(cmds.size(), 4u);
	// Receivers in list order, each getting the other node's BSSes in its
	// list order.
	std::vector<std::string> want_rx;
	std::vector<sim::mac_addr> want_bssid;
	struct node *rx, *m;
	struct fhbss *f;
	list_for_each_entry(rx, &cntlr()->nodelist, list) {
		list_for_each_entry(m, &cntlr()->nodelist, list) {
			if (m == rx)
				continue;
			list_for_each_entry(f, &m->fhbsslist, list) {
				want_rx.push_back(agent_name_of(rx));
				want_bssid.push_back(mac_of(f->bssid));
			}
		}
	}
	for (size_t i = 0; i < cmds.size(); i++) {
		SCOPED_TRACE(i);
		sim::neighbor_entry e;
		EXPECT_EQ(cmds[i].agent, want_rx[i]);
		ASSERT_TRUE(sim::decode_neighbor(cmds[i].payload, &e));
		EXPECT_EQ(e.bssid, want_bssid[i]);
		EXPECT_EQ(cmds[i].data.size(), 34u);
	}

	std::set<sim::mac_addr> ext_bsses, local_bsses;
	for (const auto &b : ext.config().bsses)
		ext_bsses.insert(b.bssid);
	for (const auto &b : local.config().bsses)
		local_bsses.insert(b.bssid);
	std::set<sim::mac_addr> at_local, at_ext;
	for (const auto &[k, v] : local.neighbors())
		at_local.insert(k);
	for (const auto &[k, v] : ext.neighbors())
		at_ext.insert(k);
	EXPECT_EQ(at_local, ext_bsses);
	EXPECT_EQ(at_ext, local_bsses);

	EXPECT_EQ(count_log(trace("num nodes = 2\n")), 1);
	int rem = uloop_timeout_remaining(&cntlr()->nbr_timer);
	EXPECT_GT(rem, 9000);
	EXPECT_LE(rem, 10000);
}

TEST_F(NeighborMesh, NeighborEntryCarriesTheBssFieldsBigEndian)
{
	const struct {
		const char *name;
		sim::bss_config bss;
		int channel;
		const char *text;
	} cases[] = {
		{"as announced", {"wl0", "a", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 36, 115, 9, 0x108f},
		 36, "000000000211223344550000108f732409"},
		{"all four info bytes", {"wl1", "a", {0x02, 0x11, 0x22, 0x33, 0x44, 0x56}, 36, 128, 7,
		  0xdeadbeef}, 36, "0000000002112233445" "6deadbeef802407"},
		{"channel cut to its low byte", {"wl0", "b", {0x02, 0x11, 0x22, 0x33, 0x44, 0x57}, 0, 81, 0,
		  0x1}, 0x124, "00000000021122334457000000015124" "00"},
	};
	add_agent("", 1);
	sim::agent_config a = cntlrtest::agent_cfg("192.168.1.2", 2);
	a.bsses = {cases[0].bss, cases[1].bss};
	a.channel = 36;
	add_agent(a);
	sim::agent_config b = cntlrtest::agent_cfg("192.168.1.3", 3);
	b.bsses = {cases[2].bss};
	b.channel = cases[2].channel;
	add_agent(b);
	bring_up();

	cntlr_neighbor_timer(&cntlr()->nbr_timer);

	std::set<std::string> at_local;
	for (const auto &r : journal().commands(CMD_ADD_NEIGHBOR, "local"))
		at_local.insert(r.data);
	EXPECT_EQ(at_local.size(), 3u);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(at_local.count(c.text), 1u);
	}
}

TEST_F(NeighborMesh, NeighborTimerWithoutPeersOnlyListsAndRearms)
{
	for (int agents : {0, 1}) {
		SCOPED_TRACE(agents);
		if (agents)
			add_agent("", 2);
		bring_up();

		cntlr_neighbor_timer(&cntlr()->nbr_timer);

		EXPECT_EQ(journal().count(CMD_ADD_NEIGHBOR), 0u);
		EXPECT_EQ(count_log("num nodes = "), 0);
		if (agents) {
			struct node *l = cntlr()->lnode;
			ASSERT_NE(l, nullptr);
			EXPECT_EQ(count_log(trace("  0 |  & = " + ptr_text(l) + " ,  agent = " +
						  agent_text(l->agent_id) +
						  ",  prefix = '0.0.0.0')\n")),
				  1);
		} else {
			EXPECT_EQ(count_log(" |  & = "), 0);
		}
		int rem = uloop_timeout_remaining(&cntlr()->nbr_timer);
		EXPECT_GT(rem, 9000);
		EXPECT_LE(rem, 10000);
	}
}

TEST_F(NeighborMesh, NeighborTimerAdoptsAgentsThatAppearedSinceStartUp)
{
	add_agent("", 1);
	bring_up();
	ASSERT_EQ(node_count(), 1);
	add_agent("192.168.1.2", 1);

	cntlr_neighbor_timer(&cntlr()->nbr_timer);

	EXPECT_NE(node_of("192.168.1.2"), nullptr);
	EXPECT_EQ(cntlr()->num_nodes, 2);
	// The new node has not reported its BSSes yet: only the local node's
	// BSS goes out, to the new node.
	auto cmds = journal().commands(CMD_ADD_NEIGHBOR);
	ASSERT_EQ(cmds.size(), 1u);
	EXPECT_EQ(cmds[0].agent, "192.168.1.2");
	EXPECT_EQ(count_log(trace("num nodes = 2\n")), 1);
}

TEST_F(NeighborMesh, SteerExcludeListsNodeMacsToEveryNodeAndTagsLocal)
{
	sim::agent &local = add_agent("", 1);
	add_agent("192.168.1.2", 1);
	add_agent("192.168.1.3", 1);
	bring_up();
	auto macs = number_node_macs();
	ASSERT_EQ(macs.size(), 2u);
	const std::string list = macs[0] + macs[1];

	cntlr_steer_exclude(cntlr());

	auto cmds = journal().commands(CMD_STEER_EXCLUDE);
	ASSERT_EQ(cmds.size(), 3u);
	for (const auto &r : cmds) {
		SCOPED_TRACE(r.agent);
		EXPECT_EQ(r.data, list);
		EXPECT_EQ(r.data.size(), 34u);
	}
	EXPECT_EQ(local.exclude_list(), macs);
	EXPECT_EQ(count_log(trace("Cntlr: CMD_STEER_EXCLUDE to agent @[local] --->>\n")), 1);
	for (const auto &m : macs)
		EXPECT_EQ(count_log(trace("Cntlr: CMD_STEER_EXCLUDE to agent @[" + m + "] --->>\n")),
			  1);
}

TEST_F(NeighborMesh, SteerExcludeCapsTheListAtFifteenButTellsAllTwenty)
{
	for (int i = 0; i < 20; i++)
		add_agent("192.168.1." + std::to_string(i + 2), 1);
	bring_up();
	auto macs = number_node_macs();
	ASSERT_EQ(macs.size(), 20u);
	std::string list;
	for (int i = 0; i < 15; i++)
		list += macs[i];

	cntlr_steer_exclude(cntlr());

	auto cmds = journal().commands(CMD_STEER_EXCLUDE);
	ASSERT_EQ(cmds.size(), 20u);
	std::set<std::string> receivers;
	for (const auto &r : cmds) {
		SCOPED_TRACE(r.agent);
		EXPECT_EQ(r.data.size(), 255u);
		EXPECT_EQ(r.data, list);
		receivers.insert(r.agent);
	}
	EXPECT_EQ(receivers.size(), 20u);
}

TEST_F(NeighborMesh, SteerExcludeWithoutAnyMacSendsNothing)
{
	add_agent("", 1);
	add_agent("192.168.1.2", 1);
	bring_up();
	struct node *n;
	list_for_each_entry(n, &cntlr()->nodelist, list)
		memset(n->macaddr, 0, 6);

	cntlr_steer_exclude(cntlr());

	EXPECT_EQ(journal().count(CMD_STEER_EXCLUDE), 0u);
	EXPECT_EQ(count_log("CMD_STEER_EXCLUDE"), 0);
}

// Reads the release lines of `func` from a trace file.
std::vector<std::string> release_lines(const std::string &text, const std::string &func)
{
	std::vector<std::string> out;
	size_t pos = 0;

	while (pos < text.size()) {
		size_t end = text.find('\n', pos);
		if (end == std::string::npos)
			end = text.size();
		std::string line = text.substr(pos, end - pos);
		if (line.find("free  : ") != std::string::npos &&
		    line.find(" " + func + "():") != std::string::npos)
			out.push_back(line);
		pos = end + 1;
	}
	return out;
}

TEST_F(NeighborMesh, ReleasingARemoteNodeWithdrawsItsBssesFromTheLocalAgentOnly)
{
	sim::agent &local = add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 3);
	bring_up();
	cntlr_neighbor_timer(&cntlr()->nbr_timer);
	ASSERT_EQ(local.neighbors().size(), 3u);
	journal().clear();
	clear_logs();

	struct node *n = node_of("192.168.1.2");
	ASSERT_NE(n, nullptr);
	std::vector<const void *> records;
	std::vector<sim::mac_addr> bssids;
	struct fhbss *f;
	list_for_each_entry(f, &n->fhbsslist, list) {
		records.push_back(f);
		bssids.push_back(mac_of(f->bssid));
	}
	records.push_back(n);
	ASSERT_EQ(bssids.size(), 3u);

	FILE *saved_stream = mtrace_stream;
	int saved_mtrace = opt_mtrace;
	mtrace_stream = fopen(dir().file("mtrace.log").c_str(), "w+");
	ASSERT_NE(mtrace_stream, nullptr);
	opt_mtrace = 1;
	list_del(&n->list);
	cntlr()->num_nodes--;
	free_node_cleanup(cntlr(), n);
	opt_mtrace = saved_mtrace;
	fclose(mtrace_stream);
	mtrace_stream = saved_stream;

	auto del = journal().commands(CMD_DEL_NEIGHBOR);
	ASSERT_EQ(del.size(), 3u);
	for (size_t i = 0; i < del.size(); i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(del[i].agent, "local");
		EXPECT_EQ(del[i].data, sim::encode_hex({bssids[i].begin(), bssids[i].end()}));
	}
	EXPECT_TRUE(local.neighbors().empty());
	for (const auto &r : journal().commands())
		EXPECT_EQ(r.agent, "local") << cmd_name(r.id);
	EXPECT_EQ(count_log(trace("Sending DEL_NEIGHBOR to lnode (" + ptr_text(cntlr()->lnode) +
				  ":" + agent_text(cntlr()->lnode->agent_id) + ")---->\n")),
		  3);

	auto lines = release_lines(testutil::read_file(dir().file("mtrace.log")),
				   "free_node_cleanup");
	ASSERT_EQ(lines.size(), 4u);
	for (size_t i = 0; i < lines.size(); i++) {
		SCOPED_TRACE(lines[i]);
		char want[64];
		snprintf(want, sizeof(want), "ptr = %12p", records[i]);
		EXPECT_NE(lines[i].find(want), std::string::npos);
	}

	// The node's handler is gone with it: an event of the removed box is
	// not delivered, while one raised after it by the local box is.
	ext.raise_event("wifi.radio");
	local.raise_event("wifi.radio");
	ASSERT_TRUE(pump_until([&] { return count_log("Received event = 'wifi.radio'") == 1; }));
	EXPECT_EQ(count_log("192.168.1.2/wifi.radio"), 0);
}

TEST_F(NeighborMesh, ReleasingWithoutAnotherLocalNodeWithdrawsNothing)
{
	const struct {
		const char *name;
		bool release_local; // else: release the remote node with no lnode
	} cases[] = {{"the local node itself", true}, {"no local node", false}};
	add_agent("", 2);
	add_agent("192.168.1.2", 2);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		bring_up();
		struct node *n = c.release_local ? cntlr()->lnode : node_of("192.168.1.2");
		ASSERT_NE(n, nullptr);
		struct node *saved_lnode = cntlr()->lnode;
		if (!c.release_local)
			cntlr()->lnode = nullptr;
		list_del(&n->list);
		cntlr()->num_nodes--;

		free_node_cleanup(cntlr(), n);

		cntlr()->lnode = c.release_local ? nullptr : saved_lnode;
		EXPECT_EQ(journal().count(CMD_DEL_NEIGHBOR), 0u);
		EXPECT_EQ(count_log("DEL_NEIGHBOR"), 0);
		EXPECT_EQ(node_count(), 1);
		// Start the next case from a fresh discovery.
		struct node *rest, *tmp;
		cntlr()->lnode = nullptr;
		list_for_each_entry_safe(rest, tmp, &cntlr()->nodelist, list) {
			list_del(&rest->list);
			cntlr()->num_nodes--;
			free_node_cleanup(cntlr(), rest);
		}
	}
}

} // namespace
