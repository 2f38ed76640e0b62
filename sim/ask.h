// Questions to the controller's "aircoord" object, from any thread: each
// call opens a bus connection of its own, asks, and closes it, so it never
// waits on the host thread that answers the controller's commands.
#pragma once

#include <string>
#include <vector>

#include "sim/agent.h"

struct json_object;

namespace sim {

// One entry of the controller's history.
struct history_entry {
	long time = 0; // seconds since the controller started
	std::string kind;
	bool has_sta = false;
	mac_addr sta{};
	std::string reason;
};

// One record of the controller's station table.
struct station_entry {
	mac_addr sta{};
	mac_addr bssid{};
};

// Calls `method` of "aircoord" with `args` (a JSON object text, "" for
// none). True with the reply as JSON text; false with `err` saying why
// (and `reply` holding what came with a refusal, "" when nothing did).
bool ask_controller(const std::string &socket_path, const std::string &method,
		    const std::string &args, std::string *reply, std::string *err);
// What is at `socket_path`: no bus, a bus, or a bus with an "aircoord"
// object on it (a controller already runs there).
enum class bus_state { none, free, taken };
bus_state look_at_bus(const std::string &socket_path);
// The entries of a history reply, oldest first; none for anything else.
std::vector<history_entry> parse_history(const std::string &json);
// The controller's whole station table, read a page at a time (a full one
// does not fit one message): offset += the page's length until the total.
// One stations reply holding every record, with the last page's total;
// `pages` counts the calls. Null with `err` when a call failed.
json_object *ask_all_stations(const std::string &socket_path, int *pages, std::string *err);
// The same table as records; false with `err` when a call failed.
bool ask_stations(const std::string &socket_path, std::vector<station_entry> *out, int *pages,
		  std::string *err);

} // namespace sim
