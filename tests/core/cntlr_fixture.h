// The controller test fixture: a private broker, simulated agents and a
// controller record driven on the test thread, with the log captured.
//
// SetUp starts a broker thread on a socket in a fresh temp dir, a sim::host
// (its own thread) on that socket, and on the test thread: uloop_init, a
// `struct cntlr` allocated with MTRACE_CALLOC, ubus_connect, ubus_add_uloop
// and cntlr_init. Nothing is discovered, registered or armed: a test does
// the steps it needs (discover(), scan(), cntlr_register_handlers(cntlr()),
// ...). The start-up's 2 s wait is skipped.
//
// The controller runs only while the test pumps the test thread's loop
// (pump_until): events for its handlers and its timers are handled there.
// Its commands are synchronous and answered by the host thread, so they
// need no pumping.
//
// The log goes to a file in the temp dir at verbosity 5; logs() returns what
// was written since the last clear_logs(). The expected texts in tests are
// their own copies, wrapped with trace()/info()/error()/... below.
//
// TearDown releases everything, so the sanitizer build sees no leak: every
// node (unlinked, then free_node_cleanup with lnode cleared first so no
// DEL_NEIGHBOR goes out), every watchnode (free_watchnode_cleanup), every
// station of the process-wide table, the bus connection, the controller
// record; then uloop_done, the host and the broker. A test that frees a
// record itself must unlink it first so TearDown does not see it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/busd.h"
#include "sim/agent.h"
#include "sim/host.h"
#include "src/cntlr.h"
#include "tests/common/test_util.h"

namespace cntlrtest {

// Expected log texts, wrapped as the daemon wraps them.
std::string trace(const std::string &text);
std::string info(const std::string &text);
std::string error(const std::string &text);
std::string error2(const std::string &text); // red sequence doubled
std::string plain(const std::string &text);
std::string cmd(const std::string &text);
// The wrapped text without its closing sequence, to find the start of a
// line whose tail varies: unclosed(trace("lnode = ")).
std::string unclosed(const std::string &wrapped);

// An agent for `prefix` ("" is the router's own) with `nbss` BSSes
// ("wl0", "wl1", ...; SSID "mesh<index>"; BSSID 02:00:00:<index>:<index>:<i>
// with i the BSS number) and the box MAC 02:aa:00:00:00:<index>. `index`
// tells agents of one test apart (1 to 255).
sim::agent_config agent_cfg(const std::string &prefix, int index, int nbss = 1);

class CntlrFixture : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	struct cntlr *cntlr() { return c_; }
	sim::host &host() { return *host_; }
	sim::journal &journal() { return host_->journal(); }
	const std::string &socket_path() const { return sock_; }
	const testutil::TempDir &dir() const { return dir_; }

	// Adds an agent made by agent_cfg (index counting up from 1).
	sim::agent &add_agent(const std::string &prefix, int nbss = 1);
	sim::agent &add_agent(const sim::agent_config &cfg);

	// cntlr_discover: "topology" lookup, then tree or bus scan.
	void discover();
	// The bus scan alone, as the neighbor timer makes it.
	void scan();
	// The node of `prefix` ("" : the local node), or null.
	struct node *node_of(const std::string &prefix);
	// Number of nodes on nodelist (not num_nodes).
	int node_count();
	// Disarms every node's bssinfo_timer, for tests that pump the loop
	// long enough for them to fire.
	void cancel_node_timers();

	// Runs the test thread's loop in short steps until `cond` holds or
	// `timeout` passes; returns the last value of `cond`.
	bool pump_until(const std::function<bool()> &cond,
			std::chrono::milliseconds timeout = std::chrono::seconds(10));

	// The agents that received command `id`, sorted, one entry per command.
	std::vector<std::string> receivers(int id);

	// Calls a method of the "aircoord" object from another connection
	// while this thread runs the controller's loop: the reply as compact
	// JSON, or "error: METHOD: STATUS TEXT", and then what came with the
	// refusal in `refusal` (compact JSON, "" for nothing).
	std::string ask(const std::string &method, const std::string &args = "",
			std::string *refusal = nullptr);
	// JSON text without the white space outside strings.
	static std::string compact(const std::string &s);

	std::string logs();
	void clear_logs();
	// Occurrences of `text` in logs().
	int count_log(const std::string &text);

private:
	testutil::TempDir dir_;
	std::string sock_;
	struct busd_thread *broker_ = nullptr;
	std::unique_ptr<sim::host> host_;
	struct cntlr *c_ = nullptr;
	FILE *log_ = nullptr;
	FILE *saved_log_stream_ = nullptr;
	int saved_verbosity_ = 0;
	int next_index_ = 1;
	bool loop_up_ = false;
};

} // namespace cntlrtest
