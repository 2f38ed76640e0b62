// Agents that restart under new object ids are found again by the neighbor
// timer's rescan and driven again before its pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;

class Restart : public CntlrFixture {};

TEST_F(Restart, RescanFindsTheNewIdsAndDrivesTheAgentAgain)
{
	const struct {
		const char *name;
		std::string prefix;
		bool hold; // a radar hold runs on the router
		std::vector<int> cmds; // to the restarted agent, before the pass
	} cases[] = {
		{"router during a radar hold", "", true,
		 {CMD_STEER_EXCLUDE, CMD_SET_PARAM, CMD_GET_BSS_INFO}},
		{"extender, wifix back after wifi.agent", "192.168.1.2", false,
		 {CMD_STEER_EXCLUDE, CMD_GET_BSS_INFO}},
	};
	sim::agent &router = add_agent("");
	sim::agent &ext = add_agent("192.168.1.2");
	discover();
	cancel_node_timers();
	// The exclusion list is not empty: the extender has a MAC.
	node_of("192.168.1.2")->macaddr[5] = 2;

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		sim::agent &a = c.prefix.empty() ? router : ext;
		struct node *n = node_of(c.prefix);
		std::string wifix = a.path("wifix");
		uint32_t old_wifix = n->wifix_id, id = 0;

		if (c.hold)
			uloop_timeout_set(&cntlr()->channel_timer, 60000);
		a.restart({"wifix"}, 0);
		ASSERT_TRUE(pump_until(
			[&] { return ubus_lookup_id(cntlr()->ctx, wifix.c_str(), &id) == 0; }));
		journal().clear();

		cntlr_neighbor_timer(&cntlr()->nbr_timer);

		EXPECT_EQ(n->agent_id, a.agent_id());
		EXPECT_EQ(n->wifix_id, id);
		EXPECT_NE(n->wifix_id, old_wifix);
		std::vector<int> got;
		for (const auto &r : journal().commands())
			if (r.prefix == c.prefix && r.id != CMD_ADD_NEIGHBOR)
				got.push_back(r.id);
		EXPECT_EQ(got, c.cmds);
		EXPECT_EQ(journal().count(CMD_ADD_NEIGHBOR, c.prefix), 1u);
		EXPECT_EQ(count_log(std::string("Agent of node '") +
				    (c.prefix.empty() ? "local" : c.prefix) +
				    "' is back: driving it again\n"),
			  1);
		uloop_timeout_cancel(&cntlr()->channel_timer);
		clear_logs();
	}
}

} // namespace
