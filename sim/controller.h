// The real controller run against a simulated mesh: its process, started in
// a network namespace of its own (a bridge "br-lan" whose neighbour table
// holds the remote boxes, as on a router) and, with "mtrace", a mount
// namespace in which its trace file is private to the run; stopped with
// SIGTERM and timed; its RssAnon read; its allocation trace checked; and the
// verdicts on all of that.
//
// Ownership: a controller_proc is a plain value held by the runner; the
// process goes with the simulator if that is killed. Called from the
// runner's thread only.
#pragma once

#include <sys/types.h>

#include <bit>
#include <cstddef>
#include <string>

#include "sim/scenario.h"
#include "sim/story.h"

namespace sim {

struct controller_proc {
	pid_t pid = -1;
	bool exited = false;
	int status = 0;
	std::string netns_note;
	std::string trace; // the trace file as the simulator sees it
	double stop_seconds = -1; // from SIGTERM to its end
};

// Starts the controller at `path` (under `emulator`, a command line, when
// not empty) on the bus at `sock`, with its log, pid file and private trace
// in `dir`. Its pid is -1 when it could not be started; `netns_note` tells,
// a line each, how its namespaces were made, for the account.
controller_proc start_controller(const std::string &path, const std::string &emulator,
				 const std::string &sock, const std::string &dir,
				 const scenario &s, bool verbose);
// Still running; notes its end (and status) once it has ended.
bool controller_alive(controller_proc &c);
// SIGTERM, then SIGKILL when it does not end within a few seconds; the time
// it took is kept.
void stop_controller(controller_proc &c);
// "status 0", "signal Killed".
std::string describe_exit(int status);

// The byte order of the CPU the controller at `path` is built for, from its
// ELF header; native when it is not an ELF file.
std::endian controller_byte_order(const std::string &path);
// The controller's RssAnon in kB (/proc/PID/status), or -1.
long rss_anon_kb(pid_t pid);
// Every allocation of the trace `text` has its release: "" when so, else
// what is wrong; `allocs` counts the allocations.
std::string check_trace(const std::string &text, size_t *allocs);

// The verdict on the controller's stop: it ran to the end (`died` says it
// did not) and ended with status 0 within 1 s of SIGTERM.
verdict stop_verdict(const controller_proc &c, bool died);
// Its trace pairs every allocation with its release.
verdict trace_verdict(const controller_proc &c);
// Its RssAnon at the end is within the scenario's "rss_flat_kb" of its
// value after start-up.
verdict rss_verdict(const scenario &s, long rss_start, long rss_end);

// The whole file at `path`; "" when it cannot be read.
std::string read_all(const std::string &path);

} // namespace sim
