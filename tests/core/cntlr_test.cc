#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bus/ubus.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_watch.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::error;
using cntlrtest::info;
using cntlrtest::trace;

// Which of the controller's two handlers received which event.
std::vector<std::pair<std::string, std::string>> *received;

void record_topo(struct ubus_context *, struct ubus_event_handler *, const char *type,
		 struct blob_attr *)
{
	received->emplace_back("topo_ev", type);
}

void record_meshlink(struct ubus_context *, struct ubus_event_handler *, const char *type,
		     struct blob_attr *)
{
	received->emplace_back("meshlink_ev", type);
}

class Controller : public cntlrtest::CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		received = &events_;
	}

	void TearDown() override
	{
		received = nullptr;
		CntlrFixture::TearDown();
	}

	// Registers the handlers of the chosen mode, then swaps their
	// callbacks for recorders: the library reads the callback at delivery.
	void register_recorders()
	{
		cntlr_register_handlers(cntlr());
		cntlr()->topo_ev.cb = record_topo;
		cntlr()->meshlink_ev.cb = record_meshlink;
	}

	bool got(const std::string &handler, const std::string &event)
	{
		for (const auto &e : events_)
			if (e.first == handler && e.second == event)
				return true;
		return false;
	}

	std::vector<std::pair<std::string, std::string>> events_;
};

TEST_F(Controller, StartTimersArmsOnlyTheNeighborTimer)
{
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->nbr_timer), -1);
	cntlr_start_timers(cntlr());

	EXPECT_EQ(cntlr()->nbr_timer.cb, cntlr_neighbor_timer);
	EXPECT_EQ(cntlr()->channel_timer.cb, cntlr_channel_timer);
	int nbr = uloop_timeout_remaining(&cntlr()->nbr_timer);
	EXPECT_GT(nbr, 1500);
	EXPECT_LE(nbr, 2000);
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->channel_timer), -1);
}

TEST_F(Controller, WithoutTopologyTheBusIsScannedAndMeshlinkEventsHandled)
{
	add_agent("", 1);
	sim::agent &ext = add_agent("192.168.1.2", 1);

	discover();
	EXPECT_EQ(cntlr()->topology_id, (uint32_t)-1);
	EXPECT_EQ(count_log(info("topology object: -1\n")), 1);
	EXPECT_EQ(count_log(error("meshmapd may not be running!\n")), 1);
	EXPECT_EQ(node_count(), 2);
	EXPECT_EQ(cntlr()->num_nodes, 2);
	EXPECT_NE(cntlr()->lnode, nullptr);
	cancel_node_timers();

	register_recorders();
	EXPECT_EQ(count_log(trace("Setting up MESHLINK event handlers for objects add/remove\n")), 1);
	EXPECT_EQ(count_log("Setting up event handler for 'topology' events"), 0);

	host().send_event("topology.changed", R"({"a":1})");
	ext.vanish();
	add_agent("192.168.1.3", 1);
	host().send_event("wifi.sta", R"({"macaddr":"02:11:00:00:00:01"})");
	ASSERT_TRUE(pump_until([&] { return got("meshlink_ev", "wifi.sta"); }));

	EXPECT_TRUE(got("meshlink_ev", "ubus.object.remove"));
	EXPECT_TRUE(got("meshlink_ev", "ubus.object.add"));
	for (const auto &e : events_)
		EXPECT_EQ(e.first, "meshlink_ev") << e.second;
}

TEST_F(Controller, WithTopologyTheTreeGivesTheNodesAndOnlyTopologyEventsAreHandled)
{
	add_agent("", 1);
	add_agent("192.168.1.2", 1);
	sim::topology &topo = host().add_topology();
	uint32_t topo_id = 0;
	ASSERT_EQ(ubus_lookup_id(cntlr()->ctx, "topology", &topo_id), 0);

	discover();
	EXPECT_EQ(cntlr()->topology_id, topo_id);
	EXPECT_EQ(count_log(info("topology object: " + std::to_string((int)topo_id) + "\n")), 1);
	EXPECT_EQ(count_log("meshmapd may not be running!"), 0);
	// The router's own entry counts but makes no node; the tree makes no
	// local node.
	EXPECT_EQ(node_count(), 1);
	EXPECT_EQ(cntlr()->num_nodes, 2);
	EXPECT_NE(node_of("192.168.1.2"), nullptr);
	EXPECT_EQ(cntlr()->lnode, nullptr);
	cancel_node_timers();

	register_recorders();
	EXPECT_EQ(count_log(trace("Setting up event handler for 'topology' events\n")), 1);
	EXPECT_EQ(count_log("Setting up MESHLINK"), 0);

	host().send_event("wifi.sta", R"({"macaddr":"02:11:00:00:00:01"})");
	add_agent("192.168.1.3", 1);
	topo.raise_event("topology.changed", R"({"a":1})");
	ASSERT_TRUE(pump_until([&] { return got("topo_ev", "topology.changed"); }));

	for (const auto &e : events_)
		EXPECT_EQ(e.first, "topo_ev") << e.second;
}

TEST_F(Controller, TopologyEventReachesTheRealHandler)
{
	sim::topology &topo = host().add_topology(R"({"nodes":[]})");

	discover();
	EXPECT_EQ(cntlr()->num_nodes, 0);
	cntlr_register_handlers(cntlr());
	topo.raise_event("topology.changed", R"({"a":1})");

	ASSERT_TRUE(pump_until([&] {
		return count_log("Received event = 'topology.changed' [val = {\"a\":1}]\n") == 1;
	}));
}

TEST_F(Controller, FailedTreeCallKeepsTopologyMode)
{
	sim::topology &topo = host().add_topology();
	uint32_t topo_id = 0;
	ASSERT_EQ(ubus_lookup_id(cntlr()->ctx, "topology", &topo_id), 0);
	add_agent("192.168.1.2", 1);

	// The daemon is gone between the lookup and the call: the id still
	// chooses topology mode, the call fails, nothing falls back.
	topo.vanish();
	cntlr()->topology_id = topo_id;
	discover();

	EXPECT_EQ(cntlr()->topology_id, topo_id);
	EXPECT_EQ(count_log(trace("Failed to get topology tree (ret = 4)\n")), 1);
	EXPECT_EQ(node_count(), 0);
	EXPECT_EQ(count_log("meshmapd may not be running!"), 0);
}

TEST_F(Controller, NoAgentAnywhereSendsNothingButStillSetsUp)
{
	discover();
	cntlr_register_handlers(cntlr());
	cntlr_start_timers(cntlr());

	EXPECT_EQ(node_count(), 0);
	EXPECT_EQ(cntlr()->lnode, nullptr);
	EXPECT_TRUE(journal().commands().empty());
	EXPECT_GT(uloop_timeout_remaining(&cntlr()->nbr_timer), 0);
}

} // namespace
