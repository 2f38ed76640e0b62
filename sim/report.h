// The report of a simulator run: one self-contained HTML page (the mesh
// renderer, the page's script and the run's data inlined; nothing is
// fetched) showing the mesh after each timeline step as the controller's
// own status, stations and history replies describe it, the timeline
// beside it, each station's decisions and the verdicts.
//
// Ownership: the report borrows the scenario and the mesh, which must
// outlive it; it takes the mesh's account lines from construction until it
// is destroyed. While it follows the run, a thread of its own asks the
// controller after each group of steps (steps at the same time), over bus
// connections of its own, so the host thread never waits for it. line()
// may be called from any thread, the rest from the runner's thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/mesh.h"
#include "sim/scenario.h"

namespace sim {

class report {
public:
	report(const scenario &s, mesh &m, const std::string &socket_path);
	report(const report &) = delete;
	report &operator=(const report &) = delete;
	~report();

	// A line of the account; `t` is seconds since the timeline started, -1
	// before it.
	void line(double t, const std::string &text);
	// Call at the timeline's start: the controller is asked at once, then
	// after each group of steps, once it has had time to act on it.
	void follow();
	// The controller is asked once more, for the end of the run; following
	// stops.
	void finish();
	// Writes the page to `path`; false with `err` saying why.
	bool write(const std::string &path, const std::vector<verdict> &verdicts, std::string *err);

	// The page around the run's data (a JSON object text).
	static std::string page(const std::string &data_json);

	struct step; // what the controller answered at one moment

private:
	void run();
	void take(double at, bool end);
	void stop();

	const scenario &s_;
	mesh &m_;
	std::string sock_;
	std::mutex mu_;
	std::condition_variable cv_;
	bool stopping_ = false; // under mu_
	std::thread follower_;
	std::vector<std::pair<double, std::string>> lines_; // under mu_
	std::vector<step> steps_;                            // under mu_
};

} // namespace sim
