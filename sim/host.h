// The simulated mesh's home: one thread with its own event loop and one bus
// connection, hosting the simulated agents (sim/agent.h) and, optionally, the
// topology daemon. The controller under test runs elsewhere (the test's own
// thread, or a child process) and makes synchronous bus calls, which the
// host thread answers.
//
// Lifetime: the host connects and starts its thread in the constructor (check
// ok()), and the destructor stops the loop, destroys the agents and the
// topology daemon on the host thread, closes the connection and joins. Agents
// and the topology daemon are owned by the host; references stay valid until
// it is destroyed.
//
// When the broker goes away the host connects anew every 100 ms, as the
// boxes' bus libraries do, and adds every object that was on the bus again
// (under new ids); calls kept unanswered are gone with the old connection.
//
// The journal records, in order, every command every agent received and
// every disconnect_sta call, and every event the host raised. It may be read
// and waited on from any thread.
//
// Typical use in a test:
//
//	testutil::TempDir dir;
//	busd_thread *broker = busd_thread_start(dir.file("bus.sock").c_str());
//	sim::host h(dir.file("bus.sock"));
//	sim::agent &router = h.add_agent(router_cfg);
//	... run the controller against the socket ...
//	ASSERT_TRUE(h.journal().wait([](const sim::journal_view &j) {
//		return j.count(CMD_GET_BSS_INFO) >= 1; }));
//	router.raise_sta(sta, "associated", "wl0");
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/agent.h"

struct ubus_context;

namespace sim {

// One command as an agent received it.
struct cmd_record {
	std::string agent;  // the agent's name
	std::string prefix; // the agent's prefix
	int id = 0;
	bool has_data = false;
	std::string data;             // the "data" text, without its NUL
	std::vector<uint8_t> payload; // "data" decoded from hex, up to the first non-hex pair
	double t = 0;                 // seconds since the host started
};

// One disconnect_sta call.
struct disconnect_record {
	std::string agent;
	std::string prefix;
	std::string ifname;
	std::string sta;
	double t = 0;
};

// One event the host raised (the agents' and the topology daemon's).
struct event_record {
	std::string name;
	std::string json; // the data table as JSON text
	double t = 0;
};

// A consistent view of the journal, handed to predicates under its lock.
struct journal_view {
	const std::vector<cmd_record> &cmds;
	const std::vector<disconnect_record> &disconnects;
	const std::vector<event_record> &events;

	// Commands of one id; to one agent (by name or prefix) when given.
	size_t count(int id, const std::string &agent = "") const;
	const cmd_record *last(int id, const std::string &agent = "") const;
};

class journal {
public:
	std::vector<cmd_record> commands() const;
	// Commands of one id; to one agent (by name or prefix) when given.
	std::vector<cmd_record> commands(int id, const std::string &agent = "") const;
	std::vector<disconnect_record> disconnects() const;
	std::vector<event_record> events() const;
	size_t count(int id, const std::string &agent = "") const;
	void clear();
	// Waits until `pred` holds (checked at once and after every new
	// record) or `timeout` passes; returns its last value. `pred` runs
	// under the journal's lock and must not call the journal.
	bool wait(const std::function<bool(const journal_view &)> &pred,
		  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

	// Called by the host thread.
	void add(cmd_record r);
	void add(disconnect_record r);
	void add(event_record r);

private:
	mutable std::mutex mu_;
	mutable std::condition_variable cv_;
	std::vector<cmd_record> cmds_;
	std::vector<disconnect_record> disconnects_;
	std::vector<event_record> events_;
};

// The topology daemon: object "topology", method "tree". Owned by the host.
class topology {
public:
	topology(const topology &) = delete;
	topology &operator=(const topology &) = delete;
	~topology();

	// The document "tree" answers (a JSON object text); "" builds it from
	// the host's present agents: {"nodes":[{"mac","ip","depth",
	// "connection_type","node_type"}, ...]}, the local agent with the ip
	// `router_ip`.
	void set_tree(const std::string &json);
	std::string tree() const;
	// Raises `name` ("topology", "topology.changed", ...) with a JSON
	// object text as data.
	void raise_event(const std::string &name, const std::string &json = "");
	bool present() const;
	void vanish();
	void reappear();

	std::string router_ip = "192.168.1.1";

	struct impl;

private:
	friend class host;
	explicit topology(class host &h);
	// On the host's new connection: "topology" is added again if present.
	void rejoin();
	impl *impl_;
};

class host {
public:
	explicit host(const std::string &socket_path);
	~host();
	host(const host &) = delete;
	host &operator=(const host &) = delete;

	// Connected and running.
	bool ok() const;
	// Ends the loop, destroys the agents and the topology daemon, drops
	// pending posts and joins the thread. Later calls run on the caller's
	// thread against an empty host. The destructor stops a running host.
	void stop();
	const std::string &socket_path() const;

	// Runs `fn` on the host thread and returns when it has run (at once
	// when called on the host thread).
	void run(const std::function<void()> &fn);
	// Runs `fn` on the host thread after `delay_ms`, from its event loop.
	void post(std::function<void()> fn, int delay_ms = 0);
	bool on_host_thread() const;

	// Creates an agent and puts its objects on the bus.
	agent &add_agent(const agent_config &cfg);
	// Creates the topology daemon and puts "topology" on the bus.
	class topology &add_topology(const std::string &tree_json = "");
	std::vector<agent *> agents();
	agent *find_agent(const std::string &name_or_prefix);
	class topology *topology();

	// With mobile stations, an agent carries out STEER (the station
	// associates with the target BSS of whichever agent owns it, then
	// leaves its BSS, each raising its event) and disconnect_sta (the
	// station leaves that BSS, raising "disassociated"). Without (the
	// default), both are only recorded and stations stay where they are.
	void set_mobile_stations(bool on);
	// Delay before a moved station's events are raised, so that they
	// follow the reply to the call that moved it.
	void set_move_delay_ms(int ms);
	int move_delay_ms() const;

	// Called on the host thread after every command and every
	// disconnect_sta call has been answered (the simulator's hook).
	void on_command(std::function<void(agent &, const cmd_record &)> fn);
	void on_disconnect(std::function<void(agent &, const disconnect_record &)> fn);
	// Called on the host thread whenever a station joins or leaves a BSS
	// of an agent through STEER, disconnect_sta, associate() or
	// disassociate(): `ifname` is the BSS, `joined` tells which.
	void on_station(std::function<void(agent &, const mac_addr &, const std::string &ifname,
					   bool joined)> fn);

	// Raises an event by its full name with a JSON object text as data.
	void send_event(const std::string &name, const std::string &json = "");

	class journal &journal();
	// Seconds since the host started.
	double now() const;

	// Host thread only.
	ubus_context *ctx();

	struct impl;

private:
	friend struct agent_impl;
	friend class topology;
	impl *impl_;
};

} // namespace sim
