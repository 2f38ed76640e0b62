// aircoord-sim: runs a simulated mesh (agents, topology daemon, stations on
// a radio model) on a bus, starts the real controller against it, plays a
// scenario and tells what the controller made the mesh do.
#include <elf.h>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/busd.h"
#include "sim/host.h"
#include "sim/mesh.h"
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
		"                    [--duration SECONDS] [-v]\n"
		"  -s SOCKET          join the bus at SOCKET instead of running a private one\n"
		"  --topology         run the topology daemon whatever the scenario says\n"
		"  --scenario NAME    a scenario of the scenario directory, or a file (default demo)\n"
		"  --controller PATH  the controller to start (default: the one built with this)\n"
		"  --emulator COMMAND run the controller under COMMAND (e.g. 'qemu-arm -L /'),\n"
		"                     for a controller built for another CPU\n"
		"  --duration SECONDS run this long at most (a churn runs until shortly before)\n"
		"  -v                 more detail: every command, the controller's own log level\n");
}

std::string read_all(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

std::string tail_lines(const std::string &text, size_t n)
{
	size_t pos = text.size();
	for (size_t i = 0; i <= n && pos > 0; i++) {
		size_t p = text.rfind('\n', pos - 1);
		if (p == std::string::npos) {
			pos = 0;
			break;
		}
		if (i < n)
			pos = p;
		else
			pos = p + 1;
	}
	return text.substr(pos);
}

// Runs `ip` with `args` and waits; 0 when it succeeded.
int run_ip(const std::vector<std::string> &args)
{
	pid_t pid = fork();
	if (pid < 0)
		return -1;
	if (pid == 0) {
		std::vector<char *> argv;
		argv.push_back(const_cast<char *>("ip"));
		for (const auto &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		int devnull = open("/dev/null", O_WRONLY);
		if (devnull >= 0) {
			dup2(devnull, STDOUT_FILENO);
			dup2(devnull, STDERR_FILENO);
		}
		execvp("ip", argv.data());
		_exit(127);
	}
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In the controller's child, before exec: a network namespace of its own
// with a bridge "br-lan" whose neighbour table holds every remote box, so
// that the controller learns their MAC addresses from the ARP cache as on a
// router. Returns what happened, for the timeline.
std::string make_netns(const sim::scenario &s)
{
	if (unshare(CLONE_NEWNET) != 0)
		return std::string("no network namespace (") + strerror(errno) +
		       "): the controller runs without br-lan and learns no box MAC";
	run_ip({"link", "set", "lo", "up"});
	if (run_ip({"link", "add", "br-lan", "type", "bridge"}) != 0 ||
	    run_ip({"link", "set", "br-lan", "up"}) != 0)
		return "network namespace without br-lan (ip failed): the controller learns "
		       "no box MAC";
	int n = 0;
	for (const auto &b : s.boxes) {
		if (b.prefix.empty() || !b.arp)
			continue;
		if (run_ip({"neigh", "replace", b.prefix, "lladdr", sim::mac_text(b.mac), "dev",
			    "br-lan", "nud", "permanent"}) == 0)
			n++;
	}
	return "controller in its own network namespace with br-lan and " + std::to_string(n) +
	       " neighbour entries";
}

// The trace file the controller writes with -m.
const char *const trace_path = "/tmp/aircoord_mtrace.log";

// In the controller's child, before exec: a mount namespace of its own in
// which the trace file is `priv`, so that runs side by side keep their
// traces apart. Returns what happened, for the timeline.
std::string private_trace(const std::string &priv)
{
	int fd = open(priv.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0)
		close(fd);
	// The bind needs a file to cover; an empty one is left behind at most.
	fd = open(trace_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0)
		close(fd);
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount(priv.c_str(), trace_path, nullptr, MS_BIND, nullptr) != 0)
		return std::string("no private trace file (") + strerror(errno) + "): the controller "
		       "writes " + trace_path;
	return "";
}

// The byte order of the CPU the controller is built for, from its ELF
// header; a cross-built controller runs under an emulator, and the agents
// of its box speak its byte order, not ours.
std::endian controller_byte_order(const std::string &path)
{
	unsigned char ident[EI_NIDENT] = {};
	std::ifstream in(path, std::ios::binary);
	in.read(reinterpret_cast<char *>(ident), sizeof(ident));
	if (!in || memcmp(ident, ELFMAG, SELFMAG) != 0)
		return std::endian::native;
	return ident[EI_DATA] == ELFDATA2MSB ? std::endian::big : std::endian::little;
}

struct controller_proc {
	pid_t pid = -1;
	bool exited = false;
	int status = 0;
	std::string netns_note;
	std::string trace; // the trace file as the simulator sees it
	double stop_seconds = -1; // from SIGTERM to its end
};

controller_proc start_controller(const std::string &path, const std::string &emulator,
				 const std::string &sock, const std::string &dir,
				 const sim::scenario &s, bool verbose)
{
	controller_proc c;
	int note[2];
	if (pipe2(note, O_CLOEXEC) != 0)
		return c;
	std::string log = dir + "/controller.log";
	std::string pidfile = dir + "/aircoord.pid";
	std::vector<std::string> args;
	std::istringstream words(emulator);
	for (std::string w; words >> w;)
		args.push_back(w);
	args.insert(args.end(), {path, "-d", "-s", sock, "-p", pidfile});
	if (!s.quiet)
		args.push_back("-v");
	if (verbose)
		args.push_back("-v");
	if (s.mtrace)
		args.push_back("-m");
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	c.pid = fork();
	if (c.pid == 0) {
		close(note[0]);
		std::string msg = make_netns(s);
		if (s.mtrace) {
			std::string t = private_trace(dir + "/mtrace.log");
			if (!t.empty())
				msg += "\n" + t;
		}
		if (write(note[1], msg.data(), msg.size()) < 0) {
			// The parent only misses a line of the account.
		}
		int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		if (fd >= 0) {
			dup2(fd, STDOUT_FILENO);
			dup2(fd, STDERR_FILENO);
		}
		signal(SIGINT, SIG_DFL);
		signal(SIGTERM, SIG_DFL);
		signal(SIGPIPE, SIG_DFL);
		// An emulator is looked up on PATH; the controller is a path.
		(emulator.empty() ? execv : execvp)(argv[0], argv.data());
		fprintf(stderr, "cannot start %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	close(note[1]);
	if (c.pid > 0) {
		char buf[512];
		ssize_t n;
		while ((n = read(note[0], buf, sizeof(buf))) > 0)
			c.netns_note.append(buf, static_cast<size_t>(n));
	}
	close(note[0]);
	c.trace = c.netns_note.find("no private trace file") == std::string::npos
			  ? dir + "/mtrace.log"
			  : trace_path;
	return c;
}

bool controller_alive(controller_proc &c)
{
	if (c.pid <= 0 || c.exited)
		return false;
	pid_t r = waitpid(c.pid, &c.status, WNOHANG);
	if (r == c.pid) {
		c.exited = true;
		return false;
	}
	return true;
}

// SIGTERM, then SIGKILL when it does not end within a few seconds; the time
// it took is kept.
void stop_controller(controller_proc &c)
{
	if (!controller_alive(c))
		return;
	auto t0 = std::chrono::steady_clock::now();
	kill(c.pid, SIGTERM);
	for (int i = 0; i < 500; i++) {
		if (!controller_alive(c)) {
			c.stop_seconds =
				std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
					.count();
			return;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	kill(c.pid, SIGKILL);
	waitpid(c.pid, &c.status, 0);
	c.exited = true;
}

std::string describe_exit(int status)
{
	if (WIFEXITED(status))
		return "status " + std::to_string(WEXITSTATUS(status));
	if (WIFSIGNALED(status))
		return std::string("signal ") + strsignal(WTERMSIG(status));
	return "unknown end";
}

// The controller's RssAnon in kB (/proc/PID/status), or -1.
long rss_anon_kb(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	while (std::getline(in, line))
		if (line.rfind("RssAnon:", 0) == 0)
			return strtol(line.c_str() + 8, nullptr, 10);
	return -1;
}

// Every allocation of the trace has its release: "" when so, else what is
// wrong. Releases of memory the trace never saw allocated (text a library
// made) are fine.
std::string check_trace(const std::string &text, size_t *allocs)
{
	std::map<std::string, std::string> live; // ptr -> its allocation line
	std::istringstream in(text);
	std::string line;
	bool begun = false, ended = false;
	*allocs = 0;
	while (std::getline(in, line)) {
		size_t p = line.find("] ");
		std::string body = p == std::string::npos ? line : line.substr(p + 2);
		if (body == "Begin")
			begun = true;
		else if (body == "End")
			ended = true;
		size_t q = body.find("ptr = ");
		if (q == std::string::npos)
			continue;
		std::istringstream ps(body.substr(q + 6));
		std::string ptr;
		ps >> ptr;
		if (body.rfind("free", 0) == 0) {
			live.erase(ptr);
		} else {
			live[ptr] = body.substr(0, body.find("  [&"));
			(*allocs)++;
		}
	}
	if (!begun || !ended)
		return std::string("trace ") + (begun ? "has no End line" : "is missing or has no Begin line");
	if (live.empty())
		return "";
	return std::to_string(live.size()) + " allocations never released, e.g." +
	       live.begin()->second;
}

} // namespace

int main(int argc, char **argv)
{
	std::string sock;
	std::string scenario_arg = "demo";
	std::string controller = AIRCOORD_DEFAULT_CONTROLLER;
	std::string emulator;
	bool topology = false;
	bool verbose = false;
	double duration = 0;
	static const struct option longopts[] = {
		{"topology", no_argument, nullptr, 't'},
		{"scenario", required_argument, nullptr, 'c'},
		{"controller", required_argument, nullptr, 'C'},
		{"emulator", required_argument, nullptr, 'E'},
		{"duration", required_argument, nullptr, 'D'},
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
	if (sock.empty()) {
		sock = dir + "/bus.sock";
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
		printf("mesh:");
		for (const auto &b : s.boxes)
			printf(" %s%s%s", b.name.c_str(), b.prefix.empty() ? "" : "@",
			       b.prefix.c_str());
		printf("%s\n", s.topology ? " (with the topology daemon)" : "");
		fflush(stdout);

		sim::mesh m(h, s, stdout, verbose, controller_byte_order(controller));
		m.build();
		controller_proc c = start_controller(controller, emulator, sock, dir, s, verbose);
		if (c.pid <= 0) {
			fprintf(stderr, "aircoord-sim: cannot start the controller\n");
		} else {
			m.say("controller started (pid " + std::to_string(c.pid) + ")");
			m.set_controller(c.pid);
			if (!c.netns_note.empty())
				m.say(c.netns_note);
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
			if (stop_signal || !controller_alive(c))
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
		if (controller_alive(c)) {
			m.say("controller up: start-up survey done with " + std::to_string(last_count) +
			      " commands");
			std::string err;
			if (!m.configure(&err))
				m.say("controller refused the scenario's config: " + err);
			else if (!s.config.empty())
				m.say("controller configured: " + s.config);
			rss_start = rss_anon_kb(c.pid);
			m.start_timeline();
		}

		std::string log_path = dir + "/controller.log";
		std::vector<sim::verdict> v;
		long rss_end = -1;
		while (!stop_signal && controller_alive(c)) {
			std::this_thread::sleep_for(std::chrono::milliseconds(250));
			double t = m.elapsed();
			if (t >= s.duration)
				break;
			if (!m.timeline_done() || t < m.timeline_end() + 3)
				continue;
			// Before the checks ask the controller for its history: a
			// reply's buffers are no part of what the run left behind.
			if (rss_end < 0)
				rss_end = rss_anon_kb(c.pid);
			v = m.check(read_all(log_path));
			bool all = true;
			for (const auto &x : v)
				all &= x.pass;
			if (all)
				break;
		}
		bool died = !controller_alive(c);
		if (died)
			rss_end = -1;
		else if (rss_end < 0)
			rss_end = rss_anon_kb(c.pid);
		// Its history goes with it: read it while it still answers.
		m.fetch_history();
		m.fetch_stations();
		if (stop_signal)
			m.say(std::string("stopped by ") + strsignal(stop_signal));
		if (died && c.pid > 0)
			m.say("controller ended by itself (" + describe_exit(c.status) + ")");
		stop_controller(c);
		v = m.check(read_all(log_path));
		sim::verdict cv;
		char took[64] = "";
		if (c.stop_seconds >= 0)
			snprintf(took, sizeof(took), " %.2f s after SIGTERM", c.stop_seconds);
		cv.label = std::string("controller ran to the end and stopped cleanly") + took;
		cv.pass = c.pid > 0 && !died && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0 &&
			  c.stop_seconds >= 0 && c.stop_seconds <= 1.0;
		cv.why = c.pid <= 0 ? "not started"
			 : died	    ? "ended early, " + describe_exit(c.status)
			 : c.stop_seconds > 1.0 || c.stop_seconds < 0
				 ? "more than 1 s after SIGTERM, " + describe_exit(c.status)
				 : "ended with " + describe_exit(c.status);
		v.push_back(cv);
		if (s.mtrace) {
			sim::verdict tv;
			size_t allocs = 0;
			tv.why = check_trace(read_all(c.trace), &allocs);
			tv.pass = tv.why.empty();
			tv.label = "allocation trace pairs every allocation with its release (" +
				   std::to_string(allocs) + " allocations)";
			v.push_back(tv);
		}
		if (s.rss_flat_kb > 0) {
			sim::verdict rv;
			rv.label = "controller's RssAnon stays within " + std::to_string(s.rss_flat_kb) +
				   " kB of its value after start-up (" + std::to_string(rss_start) +
				   " kB -> " + std::to_string(rss_end) + " kB)";
#if defined(__SANITIZE_ADDRESS__)
			// The sanitizer's allocator keeps freed memory in quarantine:
			// its footprint says nothing about the controller's.
			rv.pass = true;
			rv.label += " (not judged in a sanitizer build)";
#else
			rv.pass = rss_start > 0 && rss_end > 0 && rss_end - rss_start <= s.rss_flat_kb;
#endif
			rv.why = rss_start < 0 || rss_end < 0 ? "not measured" : "grew too much";
			v.push_back(rv);
		}
		m.print_summary(v);
		bool all = true;
		for (const auto &x : v)
			all &= x.pass;
		if (!all || verbose) {
			printf("\ncontroller log (last lines):\n%s",
			       tail_lines(read_all(log_path), 60).c_str());
		}
		fflush(stdout);
		rc = all && !stop_signal ? 0 : 1;
		h.stop();
	}
	if (broker)
		busd_thread_stop(broker);
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
	return rc;
}
