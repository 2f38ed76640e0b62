// The daemon binary against a private broker and simulated agents.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "bus/busd.h"
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
class Daemon {
public:
	Daemon(const std::vector<std::string> &args, const std::string &log_path) : log_(log_path)
	{
		int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		testutil::Command cmd(AIRCOORD_BIN, args);

		pid_ = fork();
		if (pid_ == 0) {
			dup2(fd, 2);
			execvp(cmd.argv()[0], cmd.argv());
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
	std::string log_;
	pid_t pid_ = -1;
	int status_ = -1;
	bool done_ = false;
};

bool has_br_lan()
{
	struct stat st;

	return stat("/sys/class/net/br-lan", &st) == 0;
}

TEST(DaemonBinary, DiscoversTheAgentsAndStopsOnSigterm)
{
	testutil::TempDir dir;
	const std::string sock = dir.file("bus.sock");
	struct busd_thread *broker = busd_thread_start(sock.c_str());
	ASSERT_NE(broker, nullptr);
	{
		sim::host host(sock);
		ASSERT_TRUE(host.ok());
		host.add_agent(cntlrtest::agent_cfg("", 1));
		host.add_agent(cntlrtest::agent_cfg("192.168.1.2", 2));

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
	busd_thread_stop(broker);
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

} // namespace
