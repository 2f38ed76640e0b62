// Questions to the controller's "aircoord" object, from any thread: each
// call opens a bus connection of its own, asks, and closes it, so it never
// waits on the host thread that answers the controller's commands.
#pragma once

#include <string>
#include <vector>

#include "sim/agent.h"

namespace sim {

// One entry of the controller's history.
struct history_entry {
	long time = 0; // seconds since the controller started
	std::string kind;
	bool has_sta = false;
	mac_addr sta{};
	std::string reason;
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

} // namespace sim
