// A scenario of the mesh simulator: the boxes of the mesh with their BSSes,
// the client stations and their signals, a timeline of what happens to them,
// and what the controller is expected to have made of it.
//
// Scenarios are JSON files (sim/scenarios/*.json). The parser checks every
// field and every reference (box names, "box/ifname" BSS names, station
// names) and fails with a message naming the field and why:
//   boxes[1].bss[0].bssid: not a MAC address ("02:00")
// An unknown (misspelt) key is reported before anything it may break.
// A parsed scenario is a plain value; nothing in it refers to the bus.
//
// The document (every member optional unless marked required):
//   "description", "topology": true (run the topology daemon),
//   "mobility_domain": "1234", "oui": ["02", "06"] (the router's agent's
//   answers), "lowrssi_threshold": -70, "duration": seconds,
//   "boxes" (required): [{"name", "prefix" ("" or absent: the router),
//     "mac", "type", "connection", "depth", "translate", "present", "arp",
//     "bss": [{"ifname", "ssid", "bssid", "channel", "opclass", "phy_type",
//              "bssid_info"}] (1 to 4),
//     "faults": [{"cmd": "GET_MONITOR_STA" (absent: all), "kind": "no_reply",
//                 "value", "raw"}]}],
//   "stations": [{"name", "mac", "at": "box/ifname",
//                 "signal": {"box/ifname": dBm, ...}}],
//   "timeline": [{"at": seconds, and one of:
//     "signal": {"sta", "box/ifname": dBm, ...} | "join": {"sta", "bss"} |
//     "roam": {"sta", "to", "leave"} | "leave": "sta" | "vanish": "box" |
//     "appear": "box" | "radar": "box" or {"box", "on"} |
//     "fault": {"box", "cmd", "kind", "value", "raw"} |
//     "event": {"name", "data": {...}} | "note": "text" |
//     "restart": {"box", "order": ["wifi.agent", "wifix"], "gap": seconds} |
//     "arp": "box" (a box with "arp": false enters the ARP cache) |
//     "broker_restart": seconds (the bus broker goes away for that long;
//       its clients see their connections end) |
//     "stop": true (the controller is sent SIGTERM; the run ends there) |
//     "churn": {"stations": N, "seed", "boxes_every": seconds,
//               "settle": seconds}}],
//   "expect": [{one of: "disconnect": {"box", "ifname", "sta", "within"} |
//     "no_disconnect": {"box", "ifname", "sta"} |
//     "steer": {"sta", "box", "to", "within"} |
//     "no_steer": {"sta"} | "channel": {"box", "value"} |
//     "station_at": {"sta", "bss"} | "neighbors": {"box", "exact"} |
//     "exclude": {"box", "contains": [box or MAC, ...]} |
//     "commands": {"cmd", "box", "min", "max"} | "log": "text" |
//     "no_log": "text" | "history": {"sta" (absent: the mesh's own entries,
//     radar and boxes), "kind", "contains"} |
//     "rejoin": {"within"} (the controller's object is back on the bus that
//     soon after the last broker_restart's new broker); and
//     optionally "label"}],
//   "config": {...} (sent to the controller's set_config once it is up),
//   "quiet": true (the controller logs at its default level, without
//   traces), "mtrace": true (run the controller with -m; at the end every traced
//   allocation must have its release), "rss_flat_kb": 64 (the controller's
//   RssAnon at the end within that much of its value after start-up).
// "duration" (or --duration) is the longest a run may last: the run ends as
// soon as the timeline is over (3 s after its last step) and every
// expectation holds, and at "duration" seconds whatever holds. To make a run
// last, give it a step at the time it should last to (a "note" will do);
// --hold keeps the mesh and the controller up after the verdicts.
// Timeline times count from the moment the controller has finished its
// start-up survey. A restart withdraws all of the box's objects, resets
// what its agent was told (neighbors, exclusion list, channel, monitored
// stations) and adds the objects again: those not named in "order" at once,
// then the named ones in that order, "gap" seconds apart. A churn runs from
// its step until "settle" seconds before the end of the run: a crowd of
// stations with random addresses joins, roams and leaves, and every
// "boxes_every" seconds a box vanishes, comes back or has its agent
// restarted; at its end the crowd leaves and every box is back.
//
// "within": seconds (above 0) that a disconnect or steer may take after its
// cause: the latest timeline step naming the station (signal, join, roam or
// leave) that ran before the call. The expectation holds when a matching
// call came within that time of its cause; a call with no such step before
// it does not count.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/agent.h"

namespace sim {

struct scenario_fault {
	int cmd = 0; // 0: every command
	fault f;
};

struct scenario_box {
	std::string name;   // "router", "ext1"
	std::string prefix; // "" for the router's own agent
	std::string type;   // "router", "extender" or "repeater"
	std::string connection = "wireless";
	int depth = 1;
	mac_addr mac{};
	// Clients appear on this box under a translated address (byte 0 from
	// the OUI list, bytes 1-2 the mobility domain, bytes 3-5 their own).
	bool translate = false;
	bool present = true; // on the bus when the controller starts
	// The controller's ARP cache knows the box from the start; else only
	// from an "arp" step on.
	bool arp = true;
	std::vector<bss_config> bss;
	std::vector<scenario_fault> faults;
};

struct scenario_station {
	std::string name;
	mac_addr mac{};
	std::string at; // "box/ifname" at start, "" when not associated
	std::map<std::string, int> signal; // "box/ifname" -> dBm
};

enum class step_kind {
	signal,    // sta, signal
	join,      // sta, bss
	roam,      // sta, bss, leave
	leave,     // sta
	vanish,    // box
	appear,    // box
	radar,     // box, on: the box's beacons carry the radar element
	fault,     // box, fault
	event,     // name, json: any event by full name
	note,      // text: a line in the timeline
	restart,   // box, order, gap
	churn,     // count, seed, every, settle
	arp,       // box: its entry enters the controller's ARP cache
	broker_restart, // gap: seconds the broker stays away
	stop,      // SIGTERM to the controller
};

struct timeline_step {
	double at = 0; // seconds after the controller is up
	step_kind kind = step_kind::note;
	std::string sta;
	std::string bss;
	std::string box;
	std::map<std::string, int> signal;
	bool leave = false;
	bool on = true;
	scenario_fault fault;
	std::string name;
	std::string json;
	std::string text;
	std::vector<std::string> order; // restart: objects added last, in order
	double gap = 0;                 // restart: seconds between them
	int count = 0;                  // churn: stations of the crowd
	unsigned seed = 1;              // churn
	double every = 0;               // churn: seconds between box events
	double settle = 0;              // churn: ends this long before the run
};

enum class expect_kind {
	disconnect,    // box, ifname ("" any), sta
	no_disconnect, // box ("" any), sta
	steer,         // box ("" any), sta, bss ("" any target)
	no_steer,      // sta
	channel,       // box, value
	station_at,    // sta, bss ("" : not associated)
	neighbors,     // box, exact
	exclude,       // box, macs
	commands,      // cmd, box ("" all), min, max (-1 unbounded)
	log,           // text: the controller's log holds it
	no_log,        // text
	history,       // sta, text: the entry's kind, bss: text its reason contains
	rejoin,        // within: seconds from a new broker to the aircoord object
};

struct expectation {
	expect_kind kind = expect_kind::log;
	std::string label; // how the summary names it
	std::string box;
	std::string ifname;
	std::string sta; // station name, or a MAC text
	std::string bss;
	int value = 0;
	bool exact = false;
	std::vector<std::string> macs;
	int cmd = 0;
	int min = 0;
	int max = -1;
	std::string text;
	double within = 0; // seconds after the cause; 0: unbounded
};

struct scenario {
	std::string name;
	std::string description;
	bool topology = false;
	std::array<uint8_t, 2> mobility_domain{};
	std::vector<uint8_t> oui;
	int lowrssi_threshold = -70;
	// Seconds after the controller is up when the run ends at the latest;
	// it ends earlier once the timeline is done and every expectation holds.
	double duration = 30;
	bool quiet = false;
	bool mtrace = false;
	int rss_flat_kb = 0; // 0: not checked
	std::vector<scenario_box> boxes;
	std::vector<scenario_station> stations;
	std::vector<timeline_step> timeline; // sorted by `at`
	std::vector<expectation> expect;
	std::string config; // set_config arguments as JSON text; "" sends none

	const scenario_box *box(const std::string &name) const;
	const scenario_station *station(const std::string &name) const;
};

// Command id of a name ("GET_BSS_INFO"), or 0.
int cmd_by_name(const std::string &name);
// "GET_BSS_INFO" for 8; "Undefined" otherwise.
std::string cmd_text(int id);

// Parses a scenario document. On failure returns false, leaves `out` alone
// and sets `err` to "<field>: <why>".
bool parse_scenario(const std::string &json, scenario *out, std::string *err);
// Reads a scenario from `name_or_path`: an existing file, or NAME looked up
// as `dir`/NAME.json. Errors name the file.
bool load_scenario(const std::string &name_or_path, const std::string &dir, scenario *out,
		   std::string *err);

} // namespace sim
