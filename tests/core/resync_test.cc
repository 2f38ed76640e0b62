// Agents that restart under new object ids are found again by the neighbor
// timer's rescan and driven again before its pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_health.h"
#include "src/cntlr_history.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_resync.h"
#include "src/cntlr_watch.h"
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

// The router comes back after being unresponsive (it answers a re-probe,
// or restarts under new ids) and gets the channel change it missed, driven
// from the loop; the history tells the failure, then the change.
TEST_F(Restart, ARouterThatComesBackGetsTheChannelChangeItMissed)
{
	const struct {
		const char *name;
		bool restart; // else it answers a re-probe
		int pending;
		const char *done; // the history entry once answered
	} cases[] = {
		{"answers a re-probe, a radar move pending", false, CHANNEL_MOVE,
		 "vanished with radar in its beacon; channel 36 for 3600 s"},
		{"restarts, a channel restore pending", true, CHANNEL_RESTORE,
		 "radar hold on channel 36 over; channel back to automatic"},
	};
	sim::agent &router = add_agent("");
	add_agent("192.168.1.2");
	discover();
	cancel_node_timers();
	node_of("192.168.1.2")->macaddr[5] = 2;
	struct cntlr *c = cntlr();
	struct node *n = node_of("");
	char why[HISTORY_REASON_LEN];
	auto last = [&] {
		const struct hist_entry *e = cntlr_history_at(cntlr_history_count() - 1);
		return std::string(hist_reason(c, e, why));
	};

	for (const auto &k : cases) {
		SCOPED_TRACE(k.name);
		n->unresponsive = 1;
		n->probe_timer.cb = node_probe_timer;
		c->radar_hold_channel = 36;
		c->channel_pending = (uint8_t)k.pending;
		cntlr_channel_change(c, true);
		EXPECT_NE(last().find(" -- SET_PARAM failed (Request timed out), to be sent again"),
			  std::string::npos);
		EXPECT_EQ(uloop_timeout_remaining(&c->channel_timer), -1);
		if (k.restart) {
			uint32_t old = router.agent_id();
			router.restart({}, 0);
			ASSERT_TRUE(pump_until(
				[&] { return router.agent_id() && router.agent_id() != old; }));
			journal().clear();
			cntlr_neighbor_timer(&c->nbr_timer);
		} else {
			// The answer is noted by the re-probe's callbacks and handled
			// by the probe timer, which leaves the re-drive to the loop.
			n->probe_timer.cb(&n->probe_timer);
			ASSERT_TRUE(pump_until([&] { return n->probe_answered != 0; }));
			journal().clear();
			uloop_timeout_cancel(&n->probe_timer);
			node_probe_timer(&n->probe_timer);
			EXPECT_FALSE(n->unresponsive);
			EXPECT_EQ(uloop_timeout_remaining(&c->resync_timer), 0);
			uloop_timeout_cancel(&c->resync_timer);
			cntlr_resync_timer(&c->resync_timer);
		}
		std::vector<int> got;
		for (const auto &r : journal().commands())
			if (r.prefix.empty() && r.id != CMD_ADD_NEIGHBOR)
				got.push_back(r.id);
		EXPECT_EQ(got,
			  (std::vector<int>{CMD_STEER_EXCLUDE, CMD_SET_PARAM, CMD_GET_BSS_INFO}));
		EXPECT_TRUE(last().ends_with(k.done)) << why;
		EXPECT_EQ(router.param_channel(), k.pending == CHANNEL_MOVE ? 36 : 0);
		// The move began the hold once answered; the restore ended it.
		EXPECT_EQ(uloop_timeout_remaining(&c->channel_timer) > 3590 * 1000,
			  k.pending == CHANNEL_MOVE);
		uloop_timeout_cancel(&c->channel_timer);
	}
}

} // namespace
