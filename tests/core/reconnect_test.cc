// A bus connection that ends under the controller (a broker that went
// away): nothing goes out meanwhile, and the controller joins the bus again
// with its records kept.
#include <gtest/gtest.h>

#include <string>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_resync.h"
#include "src/cntlr_sta.h"
#include "src/cntlr_ubus.h"
#include "src/main.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::error;
using cntlrtest::info;

class Reconnect : public cntlrtest::CntlrFixture {};

TEST_F(Reconnect, JoinsTheBusAgainAndSurveysEveryNode)
{
	add_agent("");
	add_agent("10.0.0.2", 2);
	sim::agent &late = add_agent("10.0.0.3");
	discover();
	cancel_node_timers();
	cntlr_register_handlers(cntlr());
	ASSERT_EQ(cntlr_ubus_add(cntlr()), 0);
	const char *saved_socket = opt_ubus_socket;
	opt_ubus_socket = socket_path().c_str();
	cntlr_bus_attach(cntlr(), cntlr()->ctx);
	struct node *n = node_of("10.0.0.3");
	ASSERT_NE(n, nullptr);

	// The end of the connection, not ours to stop: lost, and retried at once.
	cntlr_bus_cut();
	ASSERT_TRUE(pump_until([&] { return cntlr_bus_down(cntlr()); }));
	EXPECT_EQ(count_log(error("Lost the bus connection: reconnecting\n")), 1);
	EXPECT_TRUE(cntlr()->bus_timer.pending);
	EXPECT_LE(uloop_timeout_remaining(&cntlr()->bus_timer), 0);
	// One agent is not back when the controller is.
	late.vanish();
	journal().clear();
	EXPECT_EQ(cntlr_send_cmd(cntlr(), n->agent_id, CMD_GET_BSS_INFO, nullptr, 0, nullptr,
				 nullptr),
		  UBUS_STATUS_CONNECTION_FAILED);
	EXPECT_EQ(node_disconnect_sta(n, "wl0", "5c:aa:bb:01:02:03"), UBUS_STATUS_CONNECTION_FAILED);
	EXPECT_TRUE(journal().commands().empty());
	EXPECT_TRUE(journal().disconnects().empty());

	ASSERT_TRUE(pump_until([&] { return !cntlr_bus_down(cntlr()); }));
	EXPECT_EQ(count_log(info("Back on the bus\n")), 1);
	EXPECT_NE(cntlr()->obj.id, 0u);
	EXPECT_EQ(n->agent_id, (uint32_t)-1);
	EXPECT_EQ(receivers(CMD_GET_BSS_INFO), (std::vector<std::string>{"10.0.0.2", "local"}));
	EXPECT_EQ(receivers(CMD_GET_ASSOCLIST),
		  (std::vector<std::string>{"10.0.0.2", "10.0.0.2", "local"}));

	// Its return is heard (the handlers are registered again), and the
	// rescan after it surveys it.
	journal().clear();
	late.reappear();
	ASSERT_TRUE(pump_until([&] { return n->agent_id != (uint32_t)-1; }));
	cntlr_resync_nodes(cntlr());
	EXPECT_EQ(journal().count(CMD_GET_ASSOCLIST, "10.0.0.3"), 1u);
	EXPECT_EQ(n->unsurveyed, 0);

	cntlr_bus_detach(cntlr());
	opt_ubus_socket = saved_socket;
}

} // namespace
