// The controller's process in a run: started in network and mount
// namespaces of its own, stopped and timed, measured, and its allocation
// trace checked.
#include "sim/controller.h"

#include <elf.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace sim {

std::string read_all(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

namespace {

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
std::string make_netns(const scenario &s)
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
		if (run_ip({"neigh", "replace", b.prefix, "lladdr", mac_text(b.mac), "dev",
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

} // namespace

// A cross-built controller runs under an emulator, and the agents of its
// box speak its byte order, not ours.
std::endian controller_byte_order(const std::string &path)
{
	unsigned char ident[EI_NIDENT] = {};
	std::ifstream in(path, std::ios::binary);
	in.read(reinterpret_cast<char *>(ident), sizeof(ident));
	if (!in || memcmp(ident, ELFMAG, SELFMAG) != 0)
		return std::endian::native;
	return ident[EI_DATA] == ELFDATA2MSB ? std::endian::big : std::endian::little;
}

controller_proc start_controller(const std::string &path, const std::string &emulator,
				 const std::string &sock, const std::string &dir,
				 const scenario &s, bool verbose)
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
		// Out of the terminal's process group: Ctrl-C is for the simulator,
		// which stops the controller itself and times its stop. It goes with
		// the simulator if that is killed.
		setpgid(0, 0);
		prctl(PR_SET_PDEATHSIG, SIGTERM);
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

long rss_anon_kb(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	while (std::getline(in, line))
		if (line.rfind("RssAnon:", 0) == 0)
			return strtol(line.c_str() + 8, nullptr, 10);
	return -1;
}

// Releases of memory the trace never saw allocated (text a library made)
// are fine.
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

verdict stop_verdict(const controller_proc &c, bool died)
{
	verdict cv;
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
	return cv;
}

verdict trace_verdict(const controller_proc &c)
{
	verdict tv;
	size_t allocs = 0;
	tv.why = check_trace(read_all(c.trace), &allocs);
	tv.pass = tv.why.empty();
	tv.label = "allocation trace pairs every allocation with its release (" +
		   std::to_string(allocs) + " allocations)";
	return tv;
}

verdict rss_verdict(const scenario &s, long rss_start, long rss_end)
{
	verdict rv;
	rv.label = "controller's RssAnon stays within " + std::to_string(s.rss_flat_kb) +
		   " kB of its value after start-up (" + std::to_string(rss_start) + " kB -> " +
		   std::to_string(rss_end) + " kB)";
#if defined(__SANITIZE_ADDRESS__)
	// The sanitizer's allocator keeps freed memory in quarantine: its
	// footprint says nothing about the controller's.
	rv.pass = true;
	rv.label += " (not judged in a sanitizer build)";
#else
	rv.pass = rss_start > 0 && rss_end > 0 && rss_end - rss_start <= s.rss_flat_kb;
#endif
	rv.why = rss_start < 0 || rss_end < 0 ? "not measured" : "grew too much";
	return rv;
}

} // namespace sim
