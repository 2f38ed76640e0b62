#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bus/blob.h"
#include "bus/blobmsg_json.h"
#include "src/active_sta.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_node.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::error;
using cntlrtest::info;
using cntlrtest::trace;

std::string ptr_text(const void *p)
{
	char buf[32];

	snprintf(buf, sizeof(buf), "%p", p);
	return buf;
}

std::string mac_str(const uint8_t *m)
{
	char buf[18];

	snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
		 m[5]);
	return buf;
}

bool is_zero_mac(const uint8_t *m)
{
	static const uint8_t zero[6] = {};

	return !memcmp(m, zero, 6);
}

class NodeRegistry : public cntlrtest::CntlrFixture {
protected:
	// Hands `json` to build_topology_tree as the reply of a "tree" call.
	void feed_tree(const std::string &json)
	{
		struct blob_buf b;
		struct ubus_request req = {};

		memset(&b, 0, sizeof(b));
		blob_buf_init(&b, 0);
		ASSERT_TRUE(blobmsg_add_json_from_string(&b, json.c_str())) << json;
		req.priv = cntlr();
		build_topology_tree(&req, 0, b.head);
		blob_buf_free(&b);
	}

	void lookup_path(const char *path)
	{
		struct ubus_object_data obj = {};

		obj.id = 1234;
		obj.path = path;
		agent_lookup_cb(cntlr()->ctx, &obj, cntlr());
	}
};

TEST_F(NodeRegistry, BusScanMakesOneNodePerAgentAndKeepsItOnRescan)
{
	sim::agent &local = add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 1);

	scan();
	scan();
	topology_add_node(cntlr(), "192.168.1.2");
	topology_add_node(cntlr(), "");

	EXPECT_EQ(node_count(), 2);
	EXPECT_EQ(cntlr()->num_nodes, 2);
	struct node *ln = node_of("");
	struct node *rn = node_of("192.168.1.2");
	ASSERT_NE(ln, nullptr);
	ASSERT_NE(rn, nullptr);
	EXPECT_EQ(ln->agent_id, local.agent_id());
	EXPECT_EQ(rn->agent_id, ext.agent_id());
	EXPECT_EQ(count_log(info("Alloc new node ### for prefix '192.168.1.2'\n")), 1);
	EXPECT_EQ(count_log(info("Alloc new node ### for prefix ''\n")), 1);
}

TEST_F(NodeRegistry, LocalAgentBecomesTheLocalNode)
{
	sim::agent &local = add_agent("", 1);

	scan();

	struct node *n = cntlr()->lnode;
	ASSERT_NE(n, nullptr);
	EXPECT_EQ(n, node_of(""));
	EXPECT_EQ(n->is_local, 1);
	EXPECT_EQ(n->is_remote, 0);
	EXPECT_EQ(n->ipaddr.s_addr, 0u);
	EXPECT_TRUE(is_zero_mac(n->macaddr));
	EXPECT_EQ(n->depth, -1);
	EXPECT_EQ(n->cntlr, cntlr());
	EXPECT_EQ(n->agent_id, local.agent_id());
	EXPECT_NE(n->wifix_id, (uint32_t)-1);
	EXPECT_TRUE(list_empty(&n->fhbsslist));
	EXPECT_EQ(count_log(trace("lnode = " + ptr_text(n) + "\n")), 1);
	EXPECT_EQ(count_log(info("topology_add_node: (local) 00:00:00:00:00:00 \n")), 1);
	// The agent offers no router.* objects.
	for (const char *obj : {"router.system", "router.graph", "router.network"}) {
		SCOPED_TRACE(obj);
		EXPECT_EQ(count_log(trace("object '" + std::string(obj) + "' not present!\n")), 1);
	}
	EXPECT_EQ(n->system_id, (uint32_t)-1);
	EXPECT_EQ(n->graph_id, (uint32_t)-1);
	EXPECT_EQ(n->network_id, (uint32_t)-1);
}

TEST_F(NodeRegistry, RemoteAgentGetsItsAddressAndObjectIds)
{
	sim::agent_config cfg = cntlrtest::agent_cfg("192.168.1.2", 7);
	cfg.router_objects = true;
	add_agent(cfg);

	scan();

	struct node *n = node_of("192.168.1.2");
	ASSERT_NE(n, nullptr);
	EXPECT_EQ(n->is_local, 0);
	EXPECT_EQ(n->is_remote, 1);
	EXPECT_EQ(n->ipaddr.s_addr, inet_addr("192.168.1.2"));
	EXPECT_EQ(cntlr()->lnode, nullptr);
	for (uint32_t id : {n->system_id, n->graph_id, n->network_id, n->wifix_id, n->agent_id})
		EXPECT_NE(id, (uint32_t)-1);
	EXPECT_EQ(count_log("not present!"), 0);
	// No ARP entry on a test machine's br-lan: the MAC stays zero.
	EXPECT_EQ(count_log(info("topology_add_node: " + mac_str(n->macaddr) + " \n")), 1);
}

TEST_F(NodeRegistry, NewNodesGoToTheHeadAndArmTheirTimer)
{
	topology_add_node(cntlr(), "192.168.1.2");
	topology_add_node(cntlr(), "192.168.1.3");

	struct node *first = list_first_entry(&cntlr()->nodelist, struct node, list);
	EXPECT_EQ(first, node_of("192.168.1.3"));
	int remaining = uloop_timeout_remaining(&first->bssinfo_timer);
	EXPECT_GT(remaining, 2500);
	EXPECT_LE(remaining, 3000);
	EXPECT_EQ(first->bssinfo_timer.cb, node_bssinfo_timer);
}

TEST_F(NodeRegistry, PrefixesThatAreNoAddressMakeNoNode)
{
	const struct {
		const char *path;
		const char *logged;
	} cases[] = {
		{"abc/wifi.agent", "Invalid meshlink prefix: abc\n"},
		{"192.168.1/x/wifi.agent", "Invalid meshlink prefix: 192.168.1/x\n"},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.path);
		clear_logs();
		lookup_path(tc.path);
		EXPECT_EQ(node_count(), 0);
		EXPECT_EQ(cntlr()->num_nodes, 0);
		EXPECT_EQ(count_log(error(tc.logged)), 1);
	}

	clear_logs();
	EXPECT_EQ(topology_add_node(cntlr(), nullptr), -1);
	EXPECT_EQ(count_log(trace("topology_add_node: prefix = NULL!\n")), 1);
	EXPECT_EQ(topology_add_node(cntlr(), "abc"), -1);
	EXPECT_EQ(node_count(), 0);
}

TEST_F(NodeRegistry, PrefixIsCutFromTheObjectPath)
{
	const std::string p127(127, '1');
	const std::string p128(128, '1');
	const struct {
		std::string path;
		int ret;
		std::string prefix;
	} cases[] = {
		{"wifi.agent", 0, ""},
		{"192.168.1.2/wifi.agent", 0, "192.168.1.2"},
		{"10.0.0.5/wifi.agent.x", 0, "10.0.0.5"},
		{"192.168.1.2/wifix", -1, ""},
		{"", -1, ""},
		{p127 + "/wifi.agent", 0, p127},
		{p128 + "/wifi.agent", -1, ""},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.path);
		char prefix[PREFIX_MAX];

		memset(prefix, 'x', sizeof(prefix));
		EXPECT_EQ(cntlr_prefix_from_path(tc.path.c_str(), prefix), tc.ret);
		EXPECT_EQ(std::string(prefix), tc.prefix);
		EXPECT_EQ(prefix[PREFIX_MAX - 1], 0);
	}

	char prefix[PREFIX_MAX];
	EXPECT_EQ(cntlr_prefix_from_path(nullptr, prefix), -1);
}

TEST_F(NodeRegistry, OverlongPrefixIsRefusedWithAClearError)
{
	const std::string path = std::string(200, '1') + "/wifi.agent";

	clear_logs();
	lookup_path(path.c_str());
	EXPECT_EQ(node_count(), 0);
	EXPECT_EQ(count_log(error("Object path '" + path +
				  "' too long: its prefix exceeds 127 characters\n")),
		  1);
	// A path without "wifi.agent" is no agent: nothing to say about it.
	clear_logs();
	lookup_path((std::string(200, '1') + "/wifix").c_str());
	EXPECT_EQ(logs(), "");
}

TEST_F(NodeRegistry, FindByIpMatchesAddressesOnly)
{
	add_agent("", 1);
	scan();
	topology_add_node(cntlr(), "192.168.1.2");
	topology_add_node(cntlr(), "192.168.1.3");
	clear_logs();

	EXPECT_EQ(find_node_by_ip(cntlr(), "192.168.1.2"), node_of("192.168.1.2"));
	EXPECT_EQ(find_node_by_ip(cntlr(), "192.168.1.3"), node_of("192.168.1.3"));
	EXPECT_EQ(find_node_by_ip(cntlr(), "192.168.1.4"), nullptr);
	// The empty text names no address: not even the local node.
	ASSERT_NE(cntlr()->lnode, nullptr);
	EXPECT_EQ(find_node_by_ip(cntlr(), ""), nullptr);
	EXPECT_EQ(find_node_by_ip(cntlr(), nullptr), nullptr);
	EXPECT_EQ(logs(), "");

	EXPECT_EQ(find_node_by_ip(cntlr(), "bogus"), nullptr);
	EXPECT_EQ(count_log(error("Invalid ipaddr: bogus\n")), 1);
}

TEST_F(NodeRegistry, ForeignMacIsNoNodesAddress)
{
	const uint8_t zero[6] = {};
	const uint8_t box[6] = {0x02, 0xaa, 0, 0, 0, 0x09};
	const uint8_t other[6] = {0x02, 0xaa, 0, 0, 0, 0x0a};

	EXPECT_EQ(is_foreign_mac(cntlr(), zero), 1);

	topology_add_node(cntlr(), "192.168.1.2");
	memcpy(node_of("192.168.1.2")->macaddr, box, 6);
	EXPECT_EQ(is_foreign_mac(cntlr(), box), 0);
	EXPECT_EQ(is_foreign_mac(cntlr(), other), 1);
	EXPECT_EQ(is_foreign_mac(cntlr(), zero), 1);

	// The local node's all-zero MAC takes part.
	add_agent("", 1);
	scan();
	EXPECT_EQ(is_foreign_mac(cntlr(), zero), 0);
}

TEST(HwaddrByIp, RefusesWhatItCannotAsk)
{
	struct node n = {};

	EXPECT_EQ(get_hwaddr_by_ip(nullptr, "192.0.2.1", &n), -1);
	EXPECT_EQ(get_hwaddr_by_ip("lo", nullptr, &n), -1);
	EXPECT_EQ(get_hwaddr_by_ip("lo", "not-an-ip", &n), -1);
	EXPECT_EQ(get_hwaddr_by_ip("no-such-dev0", "192.0.2.1", &n), -1);
	EXPECT_TRUE(is_zero_mac(n.macaddr));
}

TEST(HwaddrByIp, ReadsTheKernelArpCache)
{
	std::ifstream arp("/proc/net/arp");
	std::string line, ip, hw, flags, mac, mask, dev;

	std::getline(arp, line);
	bool found = false;
	while (std::getline(arp, line)) {
		std::istringstream in(line);

		in >> ip >> hw >> flags >> mac >> mask >> dev;
		if (flags == "0x2" && mac != "00:00:00:00:00:00") {
			found = true;
			break;
		}
	}
	if (!found)
		GTEST_SKIP() << "no complete ARP entry on this machine";
	// qemu-user declares SIOCGARP read-only and hands the kernel an empty
	// request, so an emulated program cannot read the ARP cache.
	if (!testutil::emulator().empty())
		GTEST_SKIP() << "SIOCGARP does not reach the kernel under " << testutil::emulator();

	struct node n = {};
	ASSERT_EQ(get_hwaddr_by_ip(dev.c_str(), ip.c_str(), &n), 0);
	EXPECT_EQ(mac_str(n.macaddr), mac);
}

TEST_F(NodeRegistry, TreeMakesNodesForExtendersAndRepeatersOnly)
{
	feed_tree(R"({"nodes":[
		{"mac":"02:00:00:00:00:01","ip":"192.168.1.1","depth":0,"connection_type":"ethernet","node_type":"router"},
		{"mac":"02:00:00:00:00:02","ip":"192.168.1.2","depth":1,"connection_type":"wireless","node_type":"extender"},
		{"mac":"02:00:00:00:00:03","ip":"192.168.1.3","depth":2,"connection_type":"Ethernet","node_type":"repeater"}]})");

	EXPECT_EQ(node_count(), 2);
	EXPECT_EQ(cntlr()->num_nodes, 3);
	EXPECT_EQ(cntlr()->lnode, nullptr);
	EXPECT_EQ(node_of("192.168.1.1"), nullptr);

	struct node *ext = node_of("192.168.1.2");
	struct node *rep = node_of("192.168.1.3");
	ASSERT_NE(ext, nullptr);
	ASSERT_NE(rep, nullptr);
	EXPECT_EQ(list_first_entry(&cntlr()->nodelist, struct node, list), rep);
	EXPECT_EQ(mac_str(ext->macaddr), "02:00:00:00:00:02");
	EXPECT_EQ(ext->depth, 1);
	EXPECT_EQ(ext->connection_type, 2);
	EXPECT_EQ(rep->depth, 2);
	EXPECT_EQ(rep->connection_type, 1);
	EXPECT_EQ(rep->is_remote, 1);
	EXPECT_EQ(count_log(info("build_topology_tree: Network Node: 02:00:00:00:00:02 ip = "
				 "192.168.1.2\n")),
		  1);
	EXPECT_EQ(count_log(info("build_topology_tree: Network Node: 02:00:00:00:00:03 ip = "
				 "192.168.1.3\n")),
		  1);
}

TEST_F(NodeRegistry, TreeEntriesAreReadStrictly)
{
	const struct {
		const char *what;
		const char *entry;
		bool node;
		int connection_type;
		int depth;
	} cases[] = {
		{"capital node_type", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2","node_type":"Extender"})",
		 false, 0, 0},
		{"no node_type", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2"})", false, 0, 0},
		{"node_type with a tail", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2","node_type":"extenders"})",
		 false, 0, 0},
		{"no ip", R"({"mac":"02:00:00:00:00:02","node_type":"extender"})", false, 0, 0},
		{"ip no address", R"({"mac":"02:00:00:00:00:02","ip":"box","node_type":"extender"})",
		 false, 0, 0},
		{"no mac", R"({"ip":"192.168.1.2","node_type":"extender"})", false, 0, 0},
		{"not a table", R"("192.168.1.2")", false, 0, 0},
		{"no depth, no connection", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2","node_type":"extender"})",
		 true, 0, 0},
		{"WIRELESS", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2","depth":3,"connection_type":"WIRELESS","node_type":"extender"})",
		 true, 2, 3},
		{"unknown connection", R"({"mac":"02:00:00:00:00:02","ip":"192.168.1.2","connection_type":"fibre","node_type":"extender"})",
		 true, 0, 0},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.what);
		struct node *n, *tmp;

		feed_tree(std::string(R"({"nodes":[)") + tc.entry + "]}");
		EXPECT_EQ(cntlr()->num_nodes, 1);
		n = node_of("192.168.1.2");
		EXPECT_EQ(n != nullptr, tc.node);
		if (n) {
			EXPECT_EQ(n->connection_type, tc.connection_type);
			EXPECT_EQ(n->depth, tc.depth);
		}
		list_for_each_entry_safe(n, tmp, &cntlr()->nodelist, list) {
			list_del(&n->list);
			free_node_cleanup(cntlr(), n);
		}
	}
}

TEST_F(NodeRegistry, TreeWithoutANodesArrayChangesNothing)
{
	for (const char *json : {R"({})", R"({"nodes":{"a":1}})", R"({"nodes":"x"})"}) {
		SCOPED_TRACE(json);
		cntlr()->num_nodes = 7;
		feed_tree(json);
		EXPECT_EQ(node_count(), 0);
		EXPECT_EQ(cntlr()->num_nodes, 7);
	}
}

TEST_F(NodeRegistry, NodeHandlerGetsItsBoxsWifiAndClientEvents)
{
	sim::agent &local = add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 1);

	scan();
	struct node *ln = node_of("");
	struct node *rn = node_of("192.168.1.2");
	ASSERT_NE(ln, nullptr);
	ASSERT_NE(rn, nullptr);
	cancel_node_timers();

	const std::string lp = "[ &node = " + ptr_text(ln) + " ] Received event = ";
	const std::string rp = "[ &node = " + ptr_text(rn) + " ] Received event = ";

	// Events go out in this order over one connection, so the last one
	// arriving means the earlier ones were delivered or never will be.
	host().send_event("other.event", R"({"x":1})");
	local.raise_event("client.joined", R"({"n":1})");
	ext.raise_event("wifi.radio", R"({"band":5})");
	local.raise_event("wifi.radio", R"({"band":2})");
	ASSERT_TRUE(pump_until([&] {
		return count_log(trace(lp + "'wifi.radio': {\"band\":2}\n")) == 1;
	}));

	EXPECT_EQ(count_log(trace(lp + "'client.joined': {\"n\":1}\n")), 1);
	EXPECT_EQ(count_log(trace(rp + "'192.168.1.2/wifi.radio': {\"band\":5}\n")), 1);
	EXPECT_EQ(count_log("'192.168.1.2/wifi.radio'"), 1);
	EXPECT_EQ(count_log("other.event"), 0);
}

TEST_F(NodeRegistry, OnlyARemoteStationEventGoesToStationTracking)
{
	sim::agent &local = add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 1);
	const sim::mac_addr sta_local = {0x02, 0x11, 0, 0, 0, 0x01};
	const sim::mac_addr sta_remote = {0x02, 0x11, 0, 0, 0, 0x02};

	scan();
	cancel_node_timers();
	node_bssinfo_timer(&node_of("")->bssinfo_timer);
	node_bssinfo_timer(&node_of("192.168.1.2")->bssinfo_timer);
	cancel_node_timers();
	journal().clear();

	local.associate("wl0", sta_local);
	ext.associate("wl0", sta_remote);
	ASSERT_TRUE(pump_until(
		[&] { return as_lookup(cntlr()->as_table, sta_remote.data()) != nullptr; }));

	// The local box's "wifi.sta" reached the local node's handler through
	// "wifi*" but is only logged there.
	ASSERT_TRUE(pump_until([&] { return count_log("Received event = 'wifi.sta'") == 1; }));
	EXPECT_EQ(as_lookup(cntlr()->as_table, sta_local.data()), nullptr);
}

TEST_F(NodeRegistry, TopologyEventsAreOnlyLogged)
{
	struct blob_buf b;

	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "state", "up");

	cntlr_event_handler_local(cntlr()->ctx, &cntlr()->topo_ev, "topology", b.head);
	cntlr_event_handler_local(cntlr()->ctx, &cntlr()->topo_ev, "topology.changed", b.head);
	blob_buf_free(&b);

	const std::string prefix = "[ &cntlr = " + ptr_text(cntlr()) + " ] Received event = ";
	EXPECT_EQ(count_log(info(prefix + "'topology' [val = {\"state\":\"up\"}]\n")), 1);
	EXPECT_EQ(count_log(info(prefix + "'topology.changed' [val = {\"state\":\"up\"}]\n")), 1);
	// Only the event named exactly "topology" goes further.
	EXPECT_EQ(count_log(error("cntlr_topology_event_handler: TODO \n")), 1);
	EXPECT_EQ(node_count(), 0);
}

} // namespace
