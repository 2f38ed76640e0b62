// The daemon binary against a private broker and simulated agents.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/busd.h"
#include "bus/ubus.h"
#include "sim/host.h"
#include "src/cmd.h"
#include "tests/common/test_util.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::error;
using cntlrtest::info;
using cntlrtest::trace;
using cntlrtest::unclosed;

// One run of the daemon with its stderr (the log sink of -d) in a file.
// With `trace`, an emulated daemon runs with the emulator's syscall trace
// (qemu-user's QEMU_STRACE) on that stderr too; see catches_sigterm().
class Daemon {
public:
	Daemon(const std::vector<std::string> &args, const std::string &log_path,
	       bool trace = false)
		: log_(log_path), traced_(trace && !testutil::emulator().empty())
	{
		int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		testutil::Command cmd(AIRCOORD_BIN, args);
		// Built before fork(), like the command line.
		std::string strace = "QEMU_STRACE=1";
		std::vector<char *> env;
		for (char **e = environ; *e; e++)
			env.push_back(*e);
		if (traced_)
			env.push_back(strace.data());
		env.push_back(nullptr);

		pid_ = fork();
		if (pid_ == 0) {
			dup2(fd, 2);
			execvpe(cmd.argv()[0], cmd.argv(), env.data());
			_exit(127);
		}
		close(fd);
	}

	~Daemon()
	{
		if (pid_ > 0 && !done_) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
	}

	bool started() const { return pid_ > 0; }
	std::string log() const { return testutil::read_file(log_); }
	bool log_has(const std::string &text) const { return log().find(text) != std::string::npos; }
	int count(const std::string &text) const
	{
		std::string all = log();
		int n = 0;

		for (size_t at = all.find(text); at != std::string::npos;
		     at = all.find(text, at + text.size()))
			n++;
		return n;
	}

	void terminate() { kill(pid_, SIGTERM); }

	// The process has its own SIGTERM handler in place (SigCgt). Under
	// qemu-user SigCgt shows the emulator's handlers, which catch every
	// fatal signal from its start and then apply the program's action:
	// the default one, the end of the process, until the program sets its
	// own. There only a traced run can tell.
	bool catches_sigterm() const
	{
		if (!testutil::emulator().empty())
			return traced_ && trace_shows_sigterm_handler();
		std::string st = testutil::read_file("/proc/" + std::to_string(pid_) + "/status");
		size_t at = st.find("SigCgt:\t");
		return at != std::string::npos &&
		       (std::stoull(st.substr(at + 8, 16), nullptr, 16) >> (SIGTERM - 1) & 1);
	}

	// Waits for the exit; false when it does not come in time.
	bool wait_exit(std::chrono::milliseconds timeout)
	{
		testutil::wait_until(
			[&] {
				if (done_)
					return true;
				if (waitpid(pid_, &status_, WNOHANG) == pid_)
					done_ = true;
				return done_;
			},
			timeout);
		return done_;
	}

	int status() const { return status_; }

private:
	// The trace's line of the rt_sigaction that sets a SIGTERM action,
	// written once the call has returned; a query has NULL for the new
	// action.
	bool trace_shows_sigterm_handler() const
	{
		const std::string call = "rt_sigaction(SIGTERM,";
		std::string all = log();

		for (size_t at = all.find(call); at != std::string::npos;
		     at = all.find(call, at + 1)) {
			size_t eol = all.find('\n', at);
			if (eol == std::string::npos)
				return false;
			std::string line = all.substr(at, eol - at);
			if (line.compare(call.size(), 5, "NULL,") != 0 && line.ends_with(") = 0"))
				return true;
		}
		return false;
	}

	std::string log_;
	bool traced_;
	pid_t pid_ = -1;
	int status_ = -1;
	bool done_ = false;
};

bool has_br_lan()
{
	struct stat st;

	return stat("/sys/class/net/br-lan", &st) == 0;
}

// A private broker with the router's agent and one extender's
// (192.168.1.2); the host goes before the broker.
class TwoBoxes {
public:
	TwoBoxes() : sock(dir.file("bus.sock")), broker_(busd_thread_start(sock.c_str()))
	{
		if (!broker_)
			return;
		host_ = std::make_unique<sim::host>(sock);
		host_->add_agent(cntlrtest::agent_cfg("", 1));
		ext_ = &host_->add_agent(cntlrtest::agent_cfg("192.168.1.2", 2));
	}
	~TwoBoxes()
	{
		host_.reset();
		if (broker_)
			busd_thread_stop(broker_);
	}
	bool ok() const { return broker_ && host_->ok(); }
	sim::host &host() { return *host_; }
	sim::agent &ext() { return *ext_; }

	testutil::TempDir dir;
	const std::string sock;

private:
	struct busd_thread *broker_;
	std::unique_ptr<sim::host> host_;
	sim::agent *ext_ = nullptr;
};

TEST(DaemonBinary, DiscoversTheAgentsAndStopsOnSigterm)
{
	TwoBoxes mesh;
	ASSERT_TRUE(mesh.ok());
	{
		testutil::TempDir &dir = mesh.dir;
		const std::string &sock = mesh.sock;
		sim::host &host = mesh.host();

		Daemon d({"-d", "-s", sock, "-vvv", "-p", dir.file("aircoord.pid")},
			 dir.file("stderr.log"));
		ASSERT_TRUE(d.started());

		// The neighbor timer's node listing shows the loop is running, so
		// SIGTERM is sure to end it rather than be lost before it starts.
		ASSERT_TRUE(testutil::wait_until(
			[&] { return d.log_has("prefix = '192.168.1.2')\n"); },
			std::chrono::seconds(30)))
			<< d.log();

		EXPECT_EQ(d.count(unclosed(trace("Starting air_coord... (&cntlr = "))), 1);
		EXPECT_EQ(d.count(info("topology object: -1\n")), 1);
		EXPECT_EQ(d.count(error("meshmapd may not be running!\n")), 1);
		EXPECT_EQ(d.count(info("Alloc new node ### for prefix ''\n")), 1);
		EXPECT_EQ(d.count(info("Alloc new node ### for prefix '192.168.1.2'\n")), 1);
		EXPECT_EQ(d.count(info("topology_add_node: (local) 00:00:00:00:00:00 \n")), 1);
		if (!has_br_lan()) {
			EXPECT_EQ(d.count(info("topology_add_node: 00:00:00:00:00:00 \n")), 1);
		}
		EXPECT_EQ(d.count(trace("Setting up MESHLINK event handlers for objects add/remove\n")),
			  1);
		// The start-up survey read both agents' BSS lists.
		EXPECT_GE(host.journal().count(CMD_GET_BSS_INFO, "192.168.1.2"), 1u);
		EXPECT_GE(host.journal().count(CMD_GET_BSS_INFO, "local"), 1u);

		std::string pid = testutil::read_file(dir.file("aircoord.pid"));
		EXPECT_FALSE(pid.empty());

		d.terminate();
		ASSERT_TRUE(d.wait_exit(std::chrono::seconds(20))) << d.log();
		EXPECT_TRUE(WIFEXITED(d.status())) << d.status();
		EXPECT_EQ(WEXITSTATUS(d.status()), 0) << d.log();
	}
}

TEST(DaemonBinary, NoBusAtTheSocketEndsTheRunQuietly)
{
	testutil::TempDir dir;

	Daemon d({"-d", "-s", dir.file("nobody.sock"), "-p", dir.file("aircoord.pid")},
		 dir.file("stderr.log"));
	ASSERT_TRUE(d.started());
	ASSERT_TRUE(d.wait_exit(std::chrono::seconds(20)));
	EXPECT_TRUE(WIFEXITED(d.status()));
	EXPECT_EQ(WEXITSTATUS(d.status()), 0);
	// Level 0: written whatever the verbosity.
	EXPECT_EQ(d.log(), error("Failed to connect to ubus\n"));
}

// SIGTERM at any point of the run ends the daemon within a second, with
// status 0 and the pid file left as it was.
TEST(DaemonBinary, StopsWithinASecondWhereverSigtermFindsIt)
{
	using namespace std::chrono_literals;
	struct stage {
		const char *name;
		bool hung_at_start;
		// Holds once the daemon is where the signal should find it.
		std::function<bool(Daemon &, sim::host &, sim::agent &)> ready;
		bool hang_in_loop;
		// An emulated daemon is traced: `ready` asks catches_sigterm().
		bool trace = false;
	};
	const auto in_loop = [](Daemon &d, sim::host &, sim::agent &) {
		return d.log_has("prefix = '192.168.1.2')\n");
	};
	const stage stages[] = {
		{"the start-up wait", false,
		 [](Daemon &d, sim::host &h, sim::agent &) {
			 // The handler goes in just before the 2 s wait.
			 return d.catches_sigterm() && h.journal().commands().empty();
		 },
		 false, true},
		{"the survey, on an agent that does not answer", true,
		 [](Daemon &, sim::host &h, sim::agent &) {
			 return h.journal().count(CMD_GET_BSS_INFO, "192.168.1.2") > 0;
		 },
		 false},
		{"a call to an agent hung while the loop runs", false, in_loop, true},
		{"the idle loop", false, in_loop, false},
	};
	for (const auto &st : stages) {
		SCOPED_TRACE(st.name);
		TwoBoxes mesh;
		ASSERT_TRUE(mesh.ok());
		{
			testutil::TempDir &dir = mesh.dir;
			sim::host &host = mesh.host();
			sim::agent &ext = mesh.ext();
			sim::fault hang;
			hang.kind = sim::fault_kind::no_reply;
			if (st.hung_at_start)
				ext.set_fault(hang);

			Daemon d({"-d", "-s", mesh.sock, "-vv", "-p", dir.file("aircoord.pid")},
				 dir.file("stderr.log"), st.trace);
			ASSERT_TRUE(d.started());
			ASSERT_TRUE(testutil::wait_until(
				[&] { return !testutil::read_file(dir.file("aircoord.pid")).empty(); }));
			ASSERT_TRUE(testutil::wait_until([&] { return st.ready(d, host, ext); }, 30s))
				<< d.log();
			if (st.hang_in_loop) {
				size_t before = host.journal().commands().size();
				ext.set_fault(hang);
				// The next neighbor pass or BSS refresh calls into it.
				ASSERT_TRUE(testutil::wait_until(
					[&] {
						auto cmds = host.journal().commands();
						for (size_t i = before; i < cmds.size(); i++)
							if (cmds[i].prefix == "192.168.1.2")
								return true;
						return false;
					},
					15s));
			}
			std::string pid = testutil::read_file(dir.file("aircoord.pid"));

			d.terminate();
			ASSERT_TRUE(d.wait_exit(1s)) << d.log();
			EXPECT_TRUE(WIFEXITED(d.status())) << d.status();
			EXPECT_EQ(WEXITSTATUS(d.status()), 0) << d.log();
			EXPECT_EQ(testutil::read_file(dir.file("aircoord.pid")), pid);
			ext.release_deferred();
		}
	}
}

// A broker that no longer reads (stopped) holds no stop either: what the
// shutdown would ask of it fails at once.
TEST(DaemonBinary, StopsWithinASecondWhileItsBrokerIsStopped)
{
	using namespace std::chrono_literals;
	testutil::TempDir dir;
	const std::string sock = dir.file("bus.sock");
	testutil::Command busd(AIRCOORD_BUSD_BIN, {"-s", sock});
	pid_t broker = fork();
	if (broker == 0) {
		execvp(busd.argv()[0], busd.argv());
		_exit(127);
	}
	ASSERT_GT(broker, 0);
	ASSERT_TRUE(testutil::wait_until([&] {
		struct ubus_context *probe = ubus_connect(sock.c_str());
		ubus_free(probe);
		return probe != nullptr;
	}));
	auto host = std::make_unique<sim::host>(sock);
	host->add_agent(cntlrtest::agent_cfg("", 1));
	host->add_agent(cntlrtest::agent_cfg("192.168.1.2", 2));
	{
		Daemon d({"-d", "-s", sock, "-vv", "-p", dir.file("aircoord.pid")},
			 dir.file("stderr.log"));
		ASSERT_TRUE(d.started());
		ASSERT_TRUE(testutil::wait_until(
			[&] { return d.log_has("prefix = '192.168.1.2')\n"); }, 30s))
			<< d.log();
		kill(broker, SIGSTOP);
		d.terminate();
		EXPECT_TRUE(d.wait_exit(1s)) << d.log();
		kill(broker, SIGCONT);
		ASSERT_TRUE(d.wait_exit(10s));
		EXPECT_TRUE(WIFEXITED(d.status()) && WEXITSTATUS(d.status()) == 0) << d.status();
	}
	host.reset();
	kill(broker, SIGTERM);
	waitpid(broker, nullptr, 0);
}

} // namespace
