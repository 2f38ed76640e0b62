// A scenario brought to life on a sim::host: one agent per box, the topology
// daemon when the scenario asks for it, the radio model moving the stations,
// the timeline played on the host loop, a readable account of what the
// controller made the mesh do, and the scenario's expectations checked.
//
// Ownership: the mesh borrows the host and the scenario, which must outlive
// it; the agents belong to the host. All model state lives on the host
// thread; the public methods may be called from any thread.
#pragma once

#include <atomic>
#include <bit>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/ask.h"
#include "sim/host.h"
#include "sim/radio.h"
#include "sim/scenario.h"
#include "sim/story.h"

namespace sim {

class mesh {
public:
	// Lines of the account go to `out`; `verbose` adds the housekeeping
	// (every command, neighbor tables, monitoring requests, readings). The
	// boxes have the byte order of the controller's CPU, `cpu`.
	mesh(host &h, const scenario &s, FILE *out, bool verbose,
	     std::endian cpu = std::endian::native);
	mesh(const mesh &) = delete;
	mesh &operator=(const mesh &) = delete;
	~mesh();

	// Creates the agents and the topology daemon, places the stations on
	// their first BSS (listed, not announced: the controller finds them in
	// the association lists), installs the host hooks and starts the
	// follower that tells the decisions the commands do not show.
	void build();
	// Time zero of the timeline: every step is armed on the host loop.
	void start_timeline();
	// The last step has run.
	bool timeline_done() const;
	// Seconds since start_timeline (0 before).
	double elapsed() const;
	// Seconds after start_timeline of the last step.
	double timeline_end() const;

	// The controller's process, whose network namespace "arp" steps enter.
	void set_controller(int pid);
	// The broker the mesh runs on, for "broker_restart" steps: `stop` ends
	// it (its clients see their connections end), `start` runs a new one on
	// the same socket. Called on the host thread. Without them such a step
	// only says so.
	void set_broker(std::function<void()> stop, std::function<bool()> start);
	// A "stop" step has run: the controller is to be sent SIGTERM now, and
	// the run ends there.
	bool stop_due() const;

	// A line of the account, stamped with the time since start_timeline:
	// the one way a line of the timeline goes out.
	void say(const std::string &text);
	// Every line of the account also goes to `sink`, on the thread that
	// says it, with its time since start_timeline (-1 before); nullptr
	// stops that.
	void on_line(std::function<void(double, const std::string &)> sink);
	// A line of housekeeping: said with -v only.
	void say_more(const std::string &text);

	// The controller learns no box MAC (it runs without a network
	// namespace of its own): the expectations that need them are skipped,
	// `why` saying so.
	void set_no_arp(const std::string &why);

	// Reads the controller's history into the mesh (kept when the
	// controller no longer answers); false when it did not answer.
	bool fetch_history();
	// Reads the controller's station table the same way, page by page.
	bool fetch_stations();
	// Sends the scenario's config with set_config; true when there is
	// none or the controller took it, else `err` says why.
	bool configure(std::string *err);
	// The scenario's boxes the controller knows, by name ("router ext1"),
	// "" when it does not answer.
	std::string boxes_known();

	// The expectations as they stand; `controller_log` is the controller's
	// output so far. The history is fetched first.
	std::vector<verdict> check(const std::string &controller_log);
	// The text map of the mesh, from the scenario `at_start`, else as the
	// agents and the radio model have it now; print_map writes it.
	std::vector<map_box> map(bool at_start);
	void print_map(const std::string &title, bool at_start);
	// The map at the end (and where the controller's station table
	// differs), the controller's history, with -v the commands per kind,
	// then the verdicts and the result line.
	void print_summary(const std::vector<verdict> &verdicts);

	// "router/wl0" for a BSSID of the mesh, else its MAC text.
	std::string bss_name(const mac_addr &bssid) const;
	// "phone" for an address a station uses anywhere, else the MAC text.
	std::string sta_name(const mac_addr &addr) const;

	struct state;

private:
	friend struct mesh_actor;
	// Timeline steps about the bus (mesh_bus.cc), on the host thread.
	void restart_broker(double down);
	void watch_rejoin();
	void judge_rejoin(const expectation &e, verdict *v) const;
	struct bus_state {
		std::function<void()> stop_broker;
		std::function<bool()> start_broker;
		std::atomic<bool> stop_due{false};
		double back_at = -1;    // host time the last new broker came up
		double back_after = -1; // seconds from then to the aircoord object
	};
	bus_state bus_;

	host &h_;
	const scenario &s_;
	FILE *out_;
	bool verbose_;
	std::endian cpu_;
	std::unique_ptr<state> st_;
	std::mutex out_mu_;
	std::function<void(double, const std::string &)> line_sink_; // under out_mu_
	std::mutex hist_mu_;
	std::vector<history_entry> history_; // under hist_mu_
	std::vector<station_entry> stations_; // under hist_mu_
	int station_pages_ = -1;              // under hist_mu_; -1: not read
};

} // namespace sim
