// The mesh's inside, shared by the files that make it up: the model's state
// on the host thread, the churning crowd's, and the actor that plays the
// timeline, runs the crowd and tells what the controller made the mesh do.
// Everything here belongs to the host thread but the atomics.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/mesh.h"
#include "sim/story.h"

namespace sim {

// A station dropped from its BSS looks for another one after this long.
static constexpr int REJOIN_DELAY_MS = 1500;

struct mesh_actor;

// A crowd of stations with random addresses and the boxes' comings and
// goings, driven by a seeded generator so that a run can be repeated.
struct churn_state {
	struct member {
		mac_addr addr{};
		std::string at; // "box/ifname", "" when not associated
	};
	std::mt19937 rng;
	std::vector<member> crowd;
	std::map<mac_addr, size_t> by_addr; // current addresses
	std::set<mac_addr> used;            // every address the crowd took
	std::vector<std::string> boxes;     // the remote boxes, in turn
	size_t next_box = 0;
	int box_events = 0;
	double end_at = 0; // seconds after start_timeline
	double every = 4;
	bool running = false;
	int joins = 0, roams = 0, leaves = 0, vanishes = 0, appears = 0, restarts = 0;
};

struct mesh::state {
	std::unique_ptr<mesh_actor> act;
	radio_model radio;
	std::map<std::string, agent *> agents; // by box name
	agent *local = nullptr;
	std::map<mac_addr, std::string> bss_names;  // BSSID -> "box/ifname"
	std::map<std::string, mac_addr> bss_ids;    // "box/ifname" -> BSSID
	std::map<std::string, std::map<int, fault>> faults; // box -> cmd -> fault
	bool in_model = false;
	std::map<std::string, std::string> last_left; // station -> BSS it last left
	std::map<std::string, std::string> printed;   // burst key -> last line written
	std::set<std::string> pending;                 // burst keys armed
	std::map<std::string, std::vector<std::string>> burst_items;
	std::atomic<bool> started{false};
	std::atomic<size_t> steps_done{0};
	std::vector<double> step_ran; // host time each timeline step ran; -1 before
	std::unique_ptr<churn_state> churn;
	std::atomic<int> controller_pid{0};
	std::chrono::steady_clock::time_point t0;
	const namer names;
	std::unique_ptr<follower> follow;
	std::string no_arp; // why the controller learns no box MAC, "" when it does

	explicit state(const scenario &s) : radio(s.lowrssi_threshold), names(s) {}
};

// The address a station of the scenario, `own`, uses on `box`.
mac_addr address_on(const scenario &s, const scenario_box &box, const mac_addr &own);
// The scenario's station that uses `addr` anywhere, or null.
const scenario_station *station_of(const scenario &s, const mac_addr &addr);
// "ext1" and "wl1" of "ext1/wl1".
std::string box_of(const std::string &bss);
std::string ifname_of(const std::string &bss);
// "-60 dBm", or "not heard" for 0.
std::string dbm(int v);

// The mesh's side of the host thread: the timeline's steps and the stations
// on the radio model (timeline.cc), the churning crowd (churn.cc), and the
// account of what the controller made the mesh do, from the host's hooks
// (mesh.cc). Created by mesh::build, owned by the state.
struct mesh_actor {
	mesh &m;
	host &h;
	const scenario &s;
	mesh::state &st;

	const scenario_box &box(const std::string &name) { return *s.box(name); }

	// The stations of the scenario on the radio model, and the timeline's
	// steps.
	std::vector<std::pair<std::string, mac_addr>> bsses_of(const scenario_box &b);
	void refresh_readings();
	void report_low_rssi();
	void join(const std::string &sta, const std::string &bss);
	void leave(const std::string &sta);
	void settle();
	void rejoin_later(const std::string &sta);
	void run_step(const timeline_step &step);
	bool arp_enter(const scenario_box &b);
	static std::string join_names(const std::vector<std::string> &v);
	void set_radar(const std::string &name, bool on);

	// The churning crowd.
	mac_addr random_addr();
	std::string random_bss(const std::string &not_on);
	void crowd_leave(churn_state::member &mb);
	void crowd_move();
	void crowd_tick();
	void box_tick();
	// Stations move a few at a time, as a crowd does: ten every 100 ms.
	static constexpr size_t CROWD_BATCH = 10;
	static constexpr int CROWD_BATCH_MS = 100;
	void crowd_rejoin(std::vector<size_t> lost);
	void churn_start(const timeline_step &step);
	void churn_end();
	// A crowd address: the account stays quiet about it.
	bool crowd(const mac_addr &a) const { return st.churn && st.churn->used.count(a); }

	// What the controller made the mesh do, from the host's hooks.
	std::string box_name(const agent &a);
	void burst(const std::string &key, const std::string &item,
		   std::function<std::string(const std::vector<std::string> &)> line,
		   bool housekeeping, std::function<void()> done = nullptr);
	bool faulty(const std::string &boxn, int id, fault_kind *kind);
	void on_command(agent &a, const cmd_record &r);
	void on_disconnect(agent &a, const disconnect_record &r);
	void on_station(agent &a, const mac_addr &addr, const std::string &ifname, bool joined);

	bool m_verbose = false;
};

} // namespace sim
