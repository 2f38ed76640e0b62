// aircoord-sim: runs a simulated mesh (agents, topology daemon, stations on
// a radio model) on a bus, starts the real controller against it, plays a
// scenario and tells what the controller made the mesh do.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/busd.h"
#include "sim/controller.h"
#include "sim/host.h"
#include "sim/mesh.h"
#include "sim/report.h"
#include "sim/scenario.h"
#include "src/cmd.h"

#ifndef AIRCOORD_DEFAULT_CONTROLLER
#define AIRCOORD_DEFAULT_CONTROLLER "aircoord"
#endif
#ifndef AIRCOORD_SCENARIO_DIR
#define AIRCOORD_SCENARIO_DIR "sim/scenarios"
#endif

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig)
{
	stop_signal = sig;
}

void usage(FILE *f)
{
	fprintf(f,
		"usage: aircoord-sim [-s SOCKET] [--topology] [--scenario NAME|FILE]\n"
		"                    [--controller PATH] [--emulator COMMAND]\n"
		"                    [--duration SECONDS] [--hold] [--report FILE] [-v]\n"
		"  -s SOCKET          the bus at SOCKET (run there when none answers) instead of\n"
		"                     a private one\n"
		"  --topology         run the topology daemon whatever the scenario says\n"
		"  --scenario NAME    a scenario of the scenario directory, or a file (default demo)\n"
		"  --controller PATH  the controller to start (default: the one built with this)\n"
		"  --emulator COMMAND run the controller under COMMAND (e.g. 'qemu-arm -L /'),\n"
		"                     for a controller built for another CPU\n"
		"  --duration SECONDS run this long at most (a churn runs until shortly before)\n"
		"  --hold             keep the mesh and the controller running after the\n"
		"                     verdicts, until Ctrl-C, to ask the controller questions\n"
		"  --report FILE      write the run as one HTML page: the mesh after each step,\n"
		"                     the timeline, the decisions and the verdicts\n"
		"  -v                 more detail: every command, the controller's own log level\n");
}

// The bus-command tool beside this program, for the line that says how to
// ask the held controller.
std::string bus_tool(const char *argv0)
{
	std::string dir = argv0;
	size_t slash = dir.rfind('/');
	std::string tool =
		(slash == std::string::npos ? "" : dir.substr(0, slash + 1)) + "aircoord-bus";
	return access(tool.c_str(), X_OK) == 0 ? tool : "aircoord-bus";
}

} // namespace

int main(int argc, char **argv)
{
	std::string sock;
	std::string scenario_arg = "demo";
	std::string controller = AIRCOORD_DEFAULT_CONTROLLER;
	std::string emulator;
	std::string report_path;
	bool topology = false;
	bool verbose = false;
	bool hold = false;
	double duration = 0;
	// The run's report, pointed to by the last line when one was written.
	std::string report_file;
	static const struct option longopts[] = {
		{"topology", no_argument, nullptr, 't'},
		{"scenario", required_argument, nullptr, 'c'},
		{"controller", required_argument, nullptr, 'C'},
		{"emulator", required_argument, nullptr, 'E'},
		{"duration", required_argument, nullptr, 'D'},
		{"hold", no_argument, nullptr, 'H'},
		{"report", required_argument, nullptr, 'R'},
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	int opt;
	while ((opt = getopt_long(argc, argv, "s:vh", longopts, nullptr)) != -1) {
		switch (opt) {
		case 's':
			sock = optarg;
			break;
		case 'v':
			verbose = true;
			break;
		case 't':
			topology = true;
			break;
		case 'c':
			scenario_arg = optarg;
			break;
		case 'C':
			controller = optarg;
			break;
		case 'E':
			emulator = optarg;
			break;
		case 'D':
			duration = strtod(optarg, nullptr);
			if (duration < 1) {
				fprintf(stderr, "aircoord-sim: --duration: not a number of seconds\n");
				return 2;
			}
			break;
		case 'H':
			hold = true;
			break;
		case 'R':
			report_path = optarg;
			break;
		case 'h':
			usage(stdout);
			return 0;
		default:
			usage(stderr);
			return 2;
		}
	}
	if (optind < argc) {
		fprintf(stderr, "aircoord-sim: unexpected argument '%s'\n", argv[optind]);
		usage(stderr);
		return 2;
	}

	sim::scenario s;
	std::string err;
	if (!sim::load_scenario(scenario_arg, AIRCOORD_SCENARIO_DIR, &s, &err)) {
		fprintf(stderr, "aircoord-sim: %s\n", err.c_str());
		return 2;
	}
	if (topology)
		s.topology = true;
	if (duration > 0)
		s.duration = duration;
	if (access(controller.c_str(), X_OK) != 0) {
		fprintf(stderr, "aircoord-sim: controller %s: %s\n", controller.c_str(),
			strerror(errno));
		return 2;
	}

	// Our own handlers, installed before any loop starts, so that the
	// loops leave SIGINT and SIGTERM to us.
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_stop_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	char tmpl[] = "/tmp/aircoord-sim-XXXXXX";
	if (!mkdtemp(tmpl)) {
		fprintf(stderr, "aircoord-sim: temp dir: %s\n", strerror(errno));
		return 2;
	}
	std::string dir = tmpl;
	struct busd_thread *broker = nullptr;
	bool private_bus = sock.empty();
	if (private_bus)
		sock = dir + "/bus.sock";
	sim::bus_state there = private_bus ? sim::bus_state::none : sim::look_at_bus(sock);
	struct stat sst;
	const char *refusal = nullptr;
	if (there == sim::bus_state::taken)
		// Two controllers on one bus drive every agent twice.
		refusal = "an aircoord object is already on the bus there: another controller "
			  "runs on it; stop it, or give another socket";
	else if (there == sim::bus_state::none && stat(sock.c_str(), &sst) == 0 &&
		 !S_ISSOCK(sst.st_mode))
		refusal = "not a socket";
	if (refusal) {
		fprintf(stderr, "aircoord-sim: %s: %s\n", sock.c_str(), refusal);
		std::filesystem::remove_all(dir);
		return 2;
	}
	if (there == sim::bus_state::none) {
		broker = busd_thread_start(sock.c_str());
		if (!broker) {
			fprintf(stderr, "aircoord-sim: cannot run a broker on %s\n", sock.c_str());
			std::filesystem::remove_all(dir);
			return 2;
		}
	}

	int rc = 1;
	{
		sim::host h(sock);
		if (!h.ok()) {
			fprintf(stderr, "aircoord-sim: cannot connect to the bus at %s\n", sock.c_str());
			h.stop();
			if (broker)
				busd_thread_stop(broker);
			std::filesystem::remove_all(dir);
			return 2;
		}
		printf("scenario %s: %s\n", s.name.c_str(), s.description.c_str());
		fflush(stdout);

		sim::mesh m(h, s, stdout, verbose, sim::controller_byte_order(controller));
		if (broker)
			m.set_broker(
				[&broker] {
					busd_thread_stop(broker);
					broker = nullptr;
				},
				[&broker, &sock] {
					broker = busd_thread_start(sock.c_str());
					return broker != nullptr;
				});
		std::unique_ptr<sim::report> rep;
		if (!report_path.empty())
			rep = std::make_unique<sim::report>(s, m, sock);
		m.build();
		m.print_map(std::string("the mesh at the start") +
				    (s.topology ? " (with the topology daemon)" : "") + ":",
			    true);
		sim::controller_proc c =
			sim::start_controller(controller, emulator, sock, dir, s, verbose);
		if (c.pid <= 0) {
			fprintf(stderr, "aircoord-sim: cannot start the controller\n");
		} else {
			m.say_more("controller started (pid " + std::to_string(c.pid) + ")");
			m.set_controller(c.pid);
			// What went as planned is housekeeping; what did not, the reader
			// of the verdicts must know.
			std::istringstream notes(c.netns_note);
			for (std::string line; std::getline(notes, line);) {
				if (line.find("learns no box MAC") != std::string::npos) {
					m.say(line);
					m.set_no_arp("needs root: the controller runs without a network "
						     "namespace of its own and learns no box MAC");
				} else if (line.find("no private trace file") != std::string::npos) {
					m.say(line);
				} else {
					m.say_more(line);
				}
			}
		}

		// The controller is up once its start-up survey is over: the
		// association list of every BSS it surveys has been asked for and
		// the monitoring requests that follow are through. Events raised
		// before it listens would be lost. A survey that cannot complete
		// (a box that does not answer) is taken as over after a longer
		// silence.
		size_t surveyed = 0;
		for (const auto &b : s.boxes)
			if (b.present && (!s.topology || !b.prefix.empty()))
				surveyed += b.bss.size();
		auto begin = std::chrono::steady_clock::now();
		size_t last_count = 0;
		auto last_change = begin;
		for (;;) {
			if (stop_signal || !sim::controller_alive(c))
				break;
			auto now = std::chrono::steady_clock::now();
			size_t n = h.journal().commands().size();
			if (n != last_count) {
				last_count = n;
				last_change = now;
			}
			auto quiet = now - last_change;
			bool listed = h.journal().count(CMD_GET_ASSOCLIST) >= surveyed;
			if (n > 0 && listed && quiet >= std::chrono::milliseconds(400))
				break;
			if (n > 0 && quiet >= std::chrono::milliseconds(2500))
				break;
			if (now - begin >= std::chrono::seconds(30)) {
				m.say("controller sent nothing for 30 s; the timeline starts anyway");
				break;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		}
		long rss_start = -1;
		if (sim::controller_alive(c)) {
			std::string known = m.boxes_known();
			m.say("controller up: " + (known.empty() ? "" : "it knows " + known + "; ") +
			      "start-up survey done with " + std::to_string(last_count) + " commands");
			std::string err;
			if (!m.configure(&err))
				m.say("controller refused the scenario's config: " + err);
			else if (!s.config.empty())
				m.say("controller configured: " + s.config);
			rss_start = sim::rss_anon_kb(c.pid);
			m.start_timeline();
			if (rep)
				rep->follow();
		}

		std::string log_path = dir + "/controller.log";
		std::vector<sim::verdict> v;
		long rss_end = -1;
		bool told_waiting = false;
		while (!stop_signal && sim::controller_alive(c) && !m.stop_due()) {
			// A stop step is carried out within 50 ms.
			for (int i = 0; i < 5 && !m.stop_due(); i++)
				std::this_thread::sleep_for(std::chrono::milliseconds(50));
			if (m.stop_due())
				break;
			double t = m.elapsed();
			if (t >= s.duration)
				break;
			if (!m.timeline_done() || t < m.timeline_end() + 3)
				continue;
			// Before the checks ask the controller for its history: a
			// reply's buffers are no part of what the run left behind.
			if (rss_end < 0)
				rss_end = sim::rss_anon_kb(c.pid);
			v = m.check(sim::read_all(log_path));
			if (sim::all_hold(v))
				break;
			if (!told_waiting) {
				// The quiet stretch that may follow is the controller's.
				std::string open;
				for (const auto &x : v)
					if (!x.pass && !x.skipped)
						open += (open.empty() ? "" : "; ") + x.label;
				char most[32];
				snprintf(most, sizeof(most), "%g", s.duration);
				m.say("timeline over; waiting (until " + std::string(most) +
				      " s at most) for: " + open);
				told_waiting = true;
			}
		}
		bool died = !sim::controller_alive(c);
		if (died)
			rss_end = -1;
		else if (rss_end < 0)
			rss_end = sim::rss_anon_kb(c.pid);
		// Its history goes with it: read it while it still answers (a
		// controller told to stop in the middle of a call would not).
		if (!m.stop_due()) {
			m.fetch_history();
			m.fetch_stations();
			if (rep)
				rep->finish();
		}
		if (stop_signal)
			m.say(std::string("stopped by ") + strsignal(stop_signal));
		if (died && c.pid > 0)
			m.say("controller ended by itself (" + sim::describe_exit(c.status) + ")");
		bool held = hold && !stop_signal && !died;
		if (held) {
			v = m.check(sim::read_all(log_path));
			if (s.rss_flat_kb > 0)
				v.push_back(sim::rss_verdict(s, rss_start, rss_end));
			m.print_summary(v);
			printf("holding: the mesh and the controller run on the bus at %s until Ctrl-C;"
			       " ask with\n  %s -s %s call aircoord status\n",
			       sock.c_str(), bus_tool(argv[0]).c_str(), sock.c_str());
			fflush(stdout);
			while (!stop_signal && sim::controller_alive(c))
				std::this_thread::sleep_for(std::chrono::milliseconds(100));
			died = !sim::controller_alive(c);
			if (died)
				m.say("controller ended by itself (" + sim::describe_exit(c.status) + ")");
			sim::stop_controller(c);
			// Judged once the controller has stopped.
			std::vector<sim::verdict> late = {sim::stop_verdict(c, died)};
			if (s.mtrace)
				late.push_back(sim::trace_verdict(c));
			std::string text = sim::verdict_lines(late);
			v.insert(v.end(), late.begin(), late.end());
			printf("%s%s", text.c_str(), sim::result_line(v).c_str());
		} else {
			sim::stop_controller(c);
			v = m.check(sim::read_all(log_path));
			v.push_back(sim::stop_verdict(c, died));
			if (s.mtrace)
				v.push_back(sim::trace_verdict(c));
			if (s.rss_flat_kb > 0)
				v.push_back(sim::rss_verdict(s, rss_start, rss_end));
			m.print_summary(v);
		}
		bool all = sim::all_hold(v);
		std::string rep_err;
		bool wrote = !rep || rep->write(report_path, v, &rep_err);
		if (!wrote)
			fprintf(stderr, "aircoord-sim: report: %s\n", rep_err.c_str());
		else if (rep)
			report_file = report_path;
		if (!all || verbose)
			printf("\ncontroller log, last lines (traces left out):\n%s",
			       sim::log_digest(sim::read_all(log_path), 40).c_str());
		if (!report_file.empty())
			printf("the run as a picture: %s\n", report_file.c_str());
		fflush(stdout);
		bool skipped = false;
		for (const auto &x : v)
			skipped |= x.skipped;
		// 77: judged in part only, which test runners count as skipped.
		rc = !all || !wrote || (stop_signal && !held) ? 1 : skipped ? 77 : 0;
		h.stop();
	}
	if (broker)
		busd_thread_stop(broker);
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
	return rc;
}
