// aircoord-sim: runs a simulated mesh (agents, topology daemon, stations on
// a radio model) on a bus, starts the real controller against it, plays a
// scenario and tells what the controller made the mesh do.
#include <elf.h>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
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
		"                    [--controller PATH] [--emulator COMMAND] [-v]\n"
		"  -s SOCKET          join the bus at SOCKET instead of running a private one\n"
		"  --topology         run the topology daemon whatever the scenario says\n"
		"  --scenario NAME    a scenario of the scenario directory, or a file (default demo)\n"
		"  --controller PATH  the controller to start (default: the one built with this)\n"
		"  --emulator COMMAND run the controller under COMMAND (e.g. 'qemu-arm -L /'),\n"
		"                     for a controller built for another CPU\n"
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
		if (b.prefix.empty())
			continue;
		if (run_ip({"neigh", "replace", b.prefix, "lladdr", sim::mac_text(b.mac), "dev",
			    "br-lan", "nud", "permanent"}) == 0)
			n++;
	}
	return "controller in its own network namespace with br-lan and " + std::to_string(n) +
	       " neighbour entries";
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
	args.insert(args.end(), {path, "-d", "-s", sock, "-p", pidfile, "-v"});
	if (verbose)
		args.push_back("-v");
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	c.pid = fork();
	if (c.pid == 0) {
		close(note[0]);
		std::string msg = make_netns(s);
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

// SIGTERM, then SIGKILL when it does not end within a few seconds.
void stop_controller(controller_proc &c)
{
	if (!controller_alive(c))
		return;
	kill(c.pid, SIGTERM);
	for (int i = 0; i < 100; i++) {
		if (!controller_alive(c))
			return;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
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

} // namespace

int main(int argc, char **argv)
{
	std::string sock;
	std::string scenario_arg = "demo";
	std::string controller = AIRCOORD_DEFAULT_CONTROLLER;
	std::string emulator;
	bool topology = false;
	bool verbose = false;
	static const struct option longopts[] = {
		{"topology", no_argument, nullptr, 't'},
		{"scenario", required_argument, nullptr, 'c'},
		{"controller", required_argument, nullptr, 'C'},
		{"emulator", required_argument, nullptr, 'E'},
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
		if (controller_alive(c)) {
			m.say("controller up: start-up survey done with " + std::to_string(last_count) +
			      " commands");
			m.start_timeline();
		}

		std::string log_path = dir + "/controller.log";
		std::vector<sim::verdict> v;
		while (!stop_signal && controller_alive(c)) {
			std::this_thread::sleep_for(std::chrono::milliseconds(250));
			double t = m.elapsed();
			if (t >= s.duration)
				break;
			if (!m.timeline_done() || t < m.timeline_end() + 3)
				continue;
			v = m.check(read_all(log_path));
			bool all = true;
			for (const auto &x : v)
				all &= x.pass;
			if (all)
				break;
		}
		bool died = !controller_alive(c);
		if (stop_signal)
			m.say(std::string("stopped by ") + strsignal(stop_signal));
		if (died && c.pid > 0)
			m.say("controller ended by itself (" + describe_exit(c.status) + ")");
		stop_controller(c);
		v = m.check(read_all(log_path));
		sim::verdict cv;
		cv.label = "controller ran to the end and stopped cleanly";
		cv.pass = c.pid > 0 && !died && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
		cv.why = c.pid <= 0 ? "not started" : (died ? "ended early, " : "ended with ") +
								describe_exit(c.status);
		v.push_back(cv);
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
