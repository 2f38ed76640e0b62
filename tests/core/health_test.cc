#include <gtest/gtest.h>

#include <string>

#include "bus/ubus.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_health.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_sta.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::error;
using cntlrtest::info;
using cntlrtest::trace;

const char kSta[] = "5c:aa:bb:01:02:03";

// A wifix stand-in on the controller's own connection: a call to it is
// only handled once the caller's wait is over, so disconnect_sta times out.
int silent_calls;
const struct ubus_method silent_methods[] = {
	{"disconnect_sta",
	 [](struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
	    struct blob_attr *) { return silent_calls++, 0; },
	 0, 0, nullptr, 0},
};
struct ubus_object_type silent_type = {"silent", 0, silent_methods, 1};
struct ubus_object silent = {"silent", 0, nullptr, &silent_type, silent_methods, 1, nullptr};

class Health : public cntlrtest::CntlrFixture {
protected:
	struct node *remote(const std::string &prefix)
	{
		agent_ = &add_agent(prefix);
		scan();
		cancel_node_timers();
		return node_of(prefix);
	}
	int monitor(struct node *n)
	{
		return cntlr_send_cmd(cntlr(), n->agent_id, CMD_GET_MONITOR_STA, "5caabb010203", 13,
				      nullptr, nullptr);
	}

	sim::agent *agent_ = nullptr;
};

// A time-out is followed by a probe; only a node that misses that too is
// unresponsive, failing commands at once until a re-probe is answered.
TEST_F(Health, TimeOutThenProbe)
{
	struct Case {
		const char *what;
		const char *timed_out; // the call that timed out
		int ignored;           // the command the agent never answers; 0: all, -1: none
		bool unresponsive;
	};
	const Case cases[] = {
		{"one command ignored, the probe answered", "GET_MONITOR_STA",
		 CMD_GET_MONITOR_STA, false},
		{"a command and the probe unanswered", "GET_MONITOR_STA", 0, true},
		{"disconnect_sta and the probe unanswered", "disconnect_sta", 0, true},
		{"disconnect_sta unanswered, the probe answered", "disconnect_sta", -1, false},
	};
	int box = 2;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string ip = "10.0.0." + std::to_string(box++);
		const char *prefix = ip.c_str();
		struct node *n = remote(ip);
		ASSERT_NE(n, nullptr);
		journal().clear();
		if (c.ignored >= 0)
			agent_->set_fault({sim::fault_kind::no_reply, -1, ""}, c.ignored);
		const std::string what = c.timed_out;
		if (what == "disconnect_sta") {
			silent_calls = 0;
			ASSERT_EQ(ubus_add_object(cntlr()->ctx, &silent), 0);
			n->wifix_id = silent.id;
			EXPECT_EQ(node_disconnect_sta(n, "wl0", kSta), UBUS_STATUS_TIMEOUT);
			ASSERT_TRUE(pump_until([] { return silent_calls > 0; }));
			ubus_remove_object(cntlr()->ctx, &silent);
		} else {
			// The command's own 8 s wait is left out.
			node_health_timed_out(n, c.timed_out);
		}
		EXPECT_EQ(journal().count(CMD_GET_BSS_INFO, prefix), 1u);
		EXPECT_EQ(n->unresponsive, c.unresponsive ? 1 : 0);
		std::string condemned = error("Node " + ip + " does not answer: " + what +
					      " timed out, and so did a probe\n");
		if (!c.unresponsive) {
			// Driven as before; the probe's answer refreshed the BSS list.
			EXPECT_EQ(count_log(condemned), 0);
			EXPECT_EQ(uloop_timeout_remaining(&n->probe_timer), -1);
			EXPECT_FALSE(list_empty(&n->fhbsslist));
			continue;
		}
		EXPECT_EQ(count_log(condemned), 1);
		EXPECT_GT(uloop_timeout_remaining(&n->probe_timer), CNTLR_REPROBE_MS - 500);

		// Fail-fast: nothing sent, so nothing waited for.
		journal().clear();
		EXPECT_EQ(monitor(n), UBUS_STATUS_TIMEOUT);
		EXPECT_EQ(node_disconnect_sta(n, "wl0", kSta), UBUS_STATUS_TIMEOUT);
		EXPECT_TRUE(journal().commands().empty());
		EXPECT_TRUE(journal().disconnects().empty());
		for (std::string call : {"GET_MONITOR_STA", "disconnect_sta"})
			EXPECT_EQ(count_log(trace("Node " + ip + " unresponsive: " + call +
						  " not sent\n")),
				  1);

		// Re-probe unanswered: aborted when its time is up, the next one
		// due a re-probe period after it went out.
		n->probe_timer.cb(&n->probe_timer);
		EXPECT_EQ(n->probing, 1);
		EXPECT_GT(uloop_timeout_remaining(&n->probe_timer), CNTLR_PROBE_TIMEOUT_MS - 500);
		ASSERT_TRUE(pump_until([&] { return journal().count(CMD_GET_BSS_INFO, prefix) == 1; }));
		n->probe_timer.cb(&n->probe_timer);
		EXPECT_EQ(n->probing, 0);
		EXPECT_EQ(n->unresponsive, 1);
		EXPECT_GT(uloop_timeout_remaining(&n->probe_timer),
			  CNTLR_REPROBE_MS - CNTLR_PROBE_TIMEOUT_MS - 500);

		// The agent works again: the first answer ends it.
		agent_->clear_faults();
		n->probe_timer.cb(&n->probe_timer);
		ASSERT_TRUE(pump_until([&] { return !n->unresponsive; }));
		EXPECT_EQ(count_log(info("Node " + ip + " answers again\n")), 1);
		EXPECT_EQ(uloop_timeout_remaining(&n->probe_timer), -1);
		EXPECT_EQ(monitor(n), 0);
	}
}

// A node released while its re-probe is in flight takes the request with
// it: the late answer finds nothing.
TEST_F(Health, NodeFreedWithAProbeInFlight)
{
	struct node *n = remote("10.0.0.2");
	ASSERT_NE(n, nullptr);
	uint32_t agent_id = n->agent_id;
	agent_->set_fault({sim::fault_kind::no_reply, -1, ""}, 0);
	node_health_timed_out(n, "GET_MONITOR_STA");
	ASSERT_EQ(n->unresponsive, 1);
	n->probe_timer.cb(&n->probe_timer);
	ASSERT_EQ(n->probing, 1);
	ASSERT_TRUE(pump_until([&] { return journal().count(CMD_GET_BSS_INFO) == 2; }));

	list_del(&n->list);
	cntlr()->num_nodes--;
	free_node_cleanup(cntlr(), n);
	agent_->clear_faults();
	EXPECT_EQ(agent_->release_deferred(), 2);
	// Our call's reply comes after the released ones.
	EXPECT_EQ(ubus_invoke(cntlr()->ctx, agent_id, "cmd", nullptr, nullptr, nullptr, 2000),
		  UBUS_STATUS_INVALID_ARGUMENT);
	for (int i = 0; i < 3; i++)
		uloop_run_timeout(0);
	EXPECT_EQ(count_log("answers again"), 0);
}

} // namespace
