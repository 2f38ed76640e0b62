// A scenario brought to life on a sim::host: one agent per box, the topology
// daemon when the scenario asks for it, the radio model moving the stations,
// the timeline played on the host loop, a readable account of what the
// controller made the mesh do, and the scenario's expectations checked.
//
// Ownership: the mesh borrows the host and the scenario, which must outlive
// it; the agents belong to the host. All model state lives on the host
// thread; the public methods may be called from any thread.
#pragma once

#include <bit>
#include <cstdio>
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

namespace sim {

struct verdict {
	std::string label;
	bool pass = false;
	std::string why; // what was found instead, for a failure
};

class mesh {
public:
	// Lines of the account go to `out`; `verbose` adds every command. The
	// boxes have the byte order of the controller's CPU, `cpu`.
	mesh(host &h, const scenario &s, FILE *out, bool verbose,
	     std::endian cpu = std::endian::native);
	mesh(const mesh &) = delete;
	mesh &operator=(const mesh &) = delete;
	~mesh();

	// Creates the agents and the topology daemon, places the stations on
	// their first BSS (listed, not announced: the controller finds them in
	// the association lists) and installs the host hooks.
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

	// A line of the account, stamped with the time since start_timeline.
	void say(const std::string &text);

	// Reads the controller's history into the mesh (kept when the
	// controller no longer answers); false when it did not answer.
	bool fetch_history();
	// Reads the controller's station table the same way, page by page.
	bool fetch_stations();
	// Sends the scenario's config with set_config; true when there is
	// none or the controller took it, else `err` says why.
	bool configure(std::string *err);

	// The expectations as they stand; `controller_log` is the controller's
	// output so far. The history is fetched first.
	std::vector<verdict> check(const std::string &controller_log);
	// Neighbor tables, exclusion lists, stations per BSS (and where the
	// controller's table differs) and commands per kind, then the verdicts.
	void print_summary(const std::vector<verdict> &verdicts);

	// "router/wl0" for a BSSID of the mesh, else its MAC text.
	std::string bss_name(const mac_addr &bssid) const;
	// "phone" for an address a station uses anywhere, else the MAC text.
	std::string sta_name(const mac_addr &addr) const;

	struct state;

private:
	host &h_;
	const scenario &s_;
	FILE *out_;
	bool verbose_;
	std::endian cpu_;
	std::unique_ptr<state> st_;
	std::mutex out_mu_;
	std::mutex hist_mu_;
	std::vector<history_entry> history_; // under hist_mu_
	std::vector<station_entry> stations_; // under hist_mu_
	int station_pages_ = -1;              // under hist_mu_; -1: not read
};

} // namespace sim
