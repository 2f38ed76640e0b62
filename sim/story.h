// How a run reads: the verdicts and the result line, the scenario's own names
// for what the controller names by address, the text map of the mesh that
// opens and closes the account, the decisions that leave no trace in the
// commands (told as they come), the controller's log cut to the lines a
// reader of a failed run needs, and the history entries nearest to an
// expectation that found none.
//
// Apart from the follower, everything here is plain text work on values.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/ask.h"
#include "sim/scenario.h"

namespace sim {

// The controller's texts in the scenario's words: a BSS it names
// "192.168.1.3/wl1", "router/wl1" or by its BSSID becomes "ext2/wl1", a box
// it names by its address "ext2". Other text is left alone. Holds copies of
// the names: it may outlive the scenario.
class namer {
public:
	explicit namer(const scenario &s);
	std::string operator()(const std::string &text) const;

private:
	struct swap {
		std::string from, to;
	};
	std::vector<swap> swaps_; // longest first
};

struct verdict {
	std::string label;
	bool pass = false;
	bool skipped = false; // could not be judged on this machine; `why` says why
	std::string why;      // what was found instead, for a failure
};

// "  PASS label" lines, a failure's and a skip's with their why.
std::string verdict_lines(const std::vector<verdict> &verdicts);
// "result: PASS (15 of 15 expectations hold, 1 skipped)"
std::string result_line(const std::vector<verdict> &verdicts);
// No verdict failed (skipped ones do not).
bool all_hold(const std::vector<verdict> &verdicts);

// One box of the text map.
struct map_box {
	std::string name;
	std::string about; // "192.168.1.2", "192.168.1.4 repeater"; "" for the router
	bool gone = false;
	struct bss {
		std::string ifname;
		int channel = 0;
		std::vector<std::string> stations; // "phone -50 dBm"
	};
	std::vector<bss> bsses;
	std::vector<std::string> stale; // neighbor entries of BSSes that left
	std::vector<std::string> missing; // BSSes present but not among its neighbors
};

// The map under `title`, one line per box with its BSSes, their channels and
// the stations on them, and a line explaining stale neighbor entries when a
// box holds some.
std::string render_map(const std::string &title, const std::vector<map_box> &boxes);

// The controller's log for a reader of a failed run: colour sequences and
// pointer values taken out, the per-command traces and separator lines
// left out, the last `max_lines` of what remains.
std::string log_digest(const std::string &log, size_t max_lines);

// For a history expectation that found nothing: the last entries (at most
// two) nearest to it, those of the station and kind first, then of the
// station, then of the kind, in the scenario's words; "" when the history
// holds none of them.
std::string nearest_entries(const std::vector<history_entry> &hist,
			    const std::vector<mac_addr> &sta, const std::string &kind,
			    const namer &names);

// The prefixes of the boxes a status reply lists ("" for the router's).
std::vector<std::string> parse_node_prefixes(const std::string &json);
// The watchlist of a status reply: each vanished box's address and the
// seconds until the controller's next look at it.
std::vector<std::pair<std::string, int>> parse_watchlist(const std::string &json);

// Tells what the agents' commands do not show: the controller's decisions
// not to steer a station of the scenario, with their reasons, and the boxes
// it watches for radar. It asks the controller (history, status) on a thread
// of its own some time after each poke, so that it never holds up the thread
// that answers the controller's commands.
class follower {
public:
	using say_fn = std::function<void(const std::string &)>;
	// The name a station is told by, "" for one the account keeps quiet about.
	using station_fn = std::function<std::string(const mac_addr &)>;

	follower(std::string socket_path, namer names, station_fn station, say_fn say);
	follower(const follower &) = delete;
	follower &operator=(const follower &) = delete;
	// Waits for a question under way; pokes still due are dropped.
	~follower();

	// Asks the controller `delay_ms` from now. From any thread.
	void poke(int delay_ms);

private:
	void run();
	void ask();

	const std::string socket_path_;
	const namer names_;
	const station_fn station_;
	const say_fn say_;
	std::mutex mu_;
	std::condition_variable cv_;
	std::vector<std::chrono::steady_clock::time_point> due_; // under mu_
	bool stop_ = false;                                      // under mu_
	std::set<std::string> told_;    // history entries already told
	std::set<std::string> watched_; // addresses on the watchlist when last asked
	std::thread thread_;
};

} // namespace sim
