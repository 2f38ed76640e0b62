// The controller on the bus client built like the router's library, whose
// asynchronous callbacks run nested inside whatever synchronous call waits,
// and which ends them as timed out when the connection is lost.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "bus/ubus.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_health.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_survey.h"
#include "src/mtrace.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::info;

class NestedReprobe : public cntlrtest::CntlrFixture {};

// A re-probe's answer read in the middle of a pass, inside one of its
// synchronous calls, changes nothing the pass walks: it is noted there and
// handled from the loop once the pass is over.
TEST_F(NestedReprobe, AnswerInTheMiddleOfAPassIsHandledAfterIt)
{
	const struct {
		const char *what;
		int cmd; // the answer comes once the first of these is answered
		void (*pass)(struct cntlr *);
	} cases[] = {
		{"a neighbor pass", CMD_ADD_NEIGHBOR,
		 [](struct cntlr *c) { cntlr_neighbor_timer(&c->nbr_timer); }},
		{"the start-up survey", CMD_GET_ASSOCLIST, cntlr_survey},
	};
	add_agent("");
	add_agent("10.0.0.2", 2);
	sim::agent &hung = add_agent("10.0.0.3");
	scan();
	cancel_node_timers();
	cntlr_survey(cntlr());
	struct node *n = node_of("10.0.0.3");
	ASSERT_NE(n, nullptr);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		// Unresponsive, its BSS list forgotten, its re-probe held.
		struct fhbss *f, *tmp;
		list_for_each_entry_safe(f, tmp, &n->fhbsslist, list) {
			list_del(&f->list);
			MTRACE_FREE(f);
		}
		hung.set_fault({sim::fault_kind::no_reply, -1, ""});
		n->unresponsive = 1;
		n->probe_timer.cb = node_probe_timer;
		journal().clear();
		clear_logs();
		n->probe_timer.cb(&n->probe_timer);
		ASSERT_TRUE(journal().wait(
			[](const sim::journal_view &j) { return j.count(CMD_GET_BSS_INFO) == 1; }));
		bool released = false;
		host().on_command([&](sim::agent &, const sim::cmd_record &r) {
			if (r.id == c.cmd && !released)
				released = hung.release_deferred(true) == 1;
		});

		c.pass(cntlr());
		host().on_command(nullptr);
		ASSERT_TRUE(released);
		EXPECT_EQ(n->probe_answered, 1);
		// Armed for 0 ms (due by now).
		EXPECT_TRUE(n->probe_timer.pending);
		EXPECT_LE(uloop_timeout_remaining(&n->probe_timer), 0);
		EXPECT_EQ(n->unresponsive, 1);
		EXPECT_TRUE(list_empty(&n->fhbsslist));
		// Nothing but the probe reached the hung agent.
		size_t to_hung = 0;
		for (const auto &r : journal().commands())
			to_hung += r.prefix == "10.0.0.3";
		EXPECT_EQ(to_hung, 1u);

		hung.clear_faults();
		ASSERT_TRUE(pump_until([&] { return !n->unresponsive; }));
		EXPECT_FALSE(list_empty(&n->fhbsslist));
		EXPECT_EQ(count_log(info("Node 10.0.0.3 answers again\n")), 1);
	}
}

// A re-probe in flight when the connection ends is no answer.
TEST_F(NestedReprobe, LostConnectionIsNoAnswer)
{
	sim::agent &hung = add_agent("10.0.0.2");
	scan();
	cancel_node_timers();
	struct node *n = node_of("10.0.0.2");
	ASSERT_NE(n, nullptr);
	hung.set_fault({sim::fault_kind::no_reply, -1, ""});
	n->unresponsive = 1;
	n->probe_timer.cb = node_probe_timer;
	n->probe_timer.cb(&n->probe_timer);
	ASSERT_TRUE(journal().wait(
		[](const sim::journal_view &j) { return j.count(CMD_GET_BSS_INFO) == 1; }));
	shutdown(cntlr()->ctx->sock.fd, SHUT_RDWR);
	ASSERT_TRUE(pump_until([&] { return !n->probing; }));
	EXPECT_EQ(n->probe_answered, 0);
	EXPECT_EQ(n->unresponsive, 1);
	EXPECT_EQ(count_log("answers again"), 0);
	hung.release_deferred();
}

} // namespace
