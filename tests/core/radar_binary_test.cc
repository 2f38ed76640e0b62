// The daemon itself on a private bus: an extender that vanishes after its
// BSS reported radar moves the router's access point to channel 36.
//
// This is the one long test of the watchlist: the daemon waits its own 2 s
// at start and the watch takes 15 s to scan and 10 s more to read the
// result, so it runs for about half a minute.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bus/busd.h"
#include "sim/agent.h"
#include "sim/host.h"
#include "sim/records.h"
#include "src/cmd.h"
#include "tests/common/test_util.h"
#include "tests/core/cntlr_fixture.h"

extern char **environ;

namespace {

// The daemon as a child process, stopped with SIGTERM when it goes out of
// scope.
class Daemon {
public:
	Daemon(const std::vector<std::string> &args, const std::string &out)
	{
		testutil::Command cmd(AIRCOORD_BIN, args);
		posix_spawn_file_actions_t fa;

		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
						 0600);
		posix_spawn_file_actions_adddup2(&fa, 1, 2);
		if (posix_spawnp(&pid_, cmd.argv()[0], &fa, nullptr, cmd.argv(), environ) != 0)
			pid_ = -1;
		posix_spawn_file_actions_destroy(&fa);
	}
	~Daemon()
	{
		int status;

		if (pid_ <= 0)
			return;
		kill(pid_, SIGTERM);
		waitpid(pid_, &status, 0);
	}
	Daemon(const Daemon &) = delete;
	Daemon &operator=(const Daemon &) = delete;
	bool running() const { return pid_ > 0; }

private:
	pid_t pid_ = -1;
};

// The fixture's agents, on a DFS channel as a radar case would be.
sim::agent_config box(const std::string &prefix, uint8_t index, int nbss)
{
	sim::agent_config cfg = cntlrtest::agent_cfg(prefix, index, nbss);

	for (auto &b : cfg.bsses)
		b.channel = 52;
	return cfg;
}

size_t count_of(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
		n++;
	return n;
}

TEST(RadarRecovery, VanishedExtenderWithRadarMovesTheLocalApToChannel36)
{
	testutil::TempDir dir;
	const std::string sock = dir.file("bus.sock");
	const std::string log = dir.file("aircoord.log");
	std::unique_ptr<struct busd_thread, void (*)(struct busd_thread *)> broker(
		busd_thread_start(sock.c_str()), busd_thread_stop);
	ASSERT_NE(broker, nullptr);
	{
		sim::host h(sock);
		ASSERT_TRUE(h.ok());
		sim::agent &local = h.add_agent(box("", 1, 1));
		sim::agent_config ecfg = box("192.168.1.2", 2, 2);
		sim::agent &ext = h.add_agent(ecfg);
		// The watch looks for the extender's newest BSS, the last one its
		// GET_BSS_INFO reply lists.
		sim::scan_result radar;
		radar.radar = true;
		local.set_scan_result(ecfg.bsses.back().bssid, radar);

		Daemon d({"-d", "-s", sock, "-p", dir.file("aircoord.pid"), "-vvv"}, log);
		ASSERT_TRUE(d.running());
		// The first neighbor pass comes after the handlers are registered.
		// It must be over before the extender leaves: a command caught by
		// the departure would hold the daemon for its 8 s time-out.
		ASSERT_TRUE(h.journal().wait(
			[](const sim::journal_view &j) { return j.count(CMD_ADD_NEIGHBOR) >= 3; },
			std::chrono::seconds(30)));

		const double vanished = h.now();
		ext.vanish();
		auto channel_set = [](const sim::cmd_record &r, int channel) {
			int ch;
			return r.id == CMD_SET_PARAM && r.agent == "local" &&
			       sim::decode_set_param_channel(r.payload, &ch) && ch == channel;
		};
		ASSERT_TRUE(h.journal().wait(
			[&](const sim::journal_view &j) {
				for (const auto &r : j.cmds)
					if (channel_set(r, 36))
						return true;
				return false;
			},
			std::chrono::seconds(60)));

		double moved = 0;
		for (const auto &r : h.journal().commands(CMD_SET_PARAM, "local"))
			if (channel_set(r, 36))
				moved = r.t;
		EXPECT_GE(moved - vanished, 24.5);
		EXPECT_LE(moved - vanished, 32.0);
		EXPECT_EQ(local.param_channel(), 36);
		EXPECT_EQ(h.journal().count(CMD_SCAN, "local"), 1u);
		EXPECT_EQ(h.journal().count(CMD_GET_SCANRES, "local"), 1u);

		// With the watch over, the extender's return searches an empty
		// watchlist.
		const double back = h.now();
		ext.reappear();
		ASSERT_TRUE(h.journal().wait([&](const sim::journal_view &j) {
			for (const auto &r : j.cmds)
				if (r.id == CMD_GET_BSS_INFO && r.agent == "192.168.1.2" && r.t > back)
					return true;
			return false;
		}));
		ASSERT_TRUE(testutil::wait_until([&] {
			return testutil::read_file(log).find("To add: 192.168.1.2/wifi.agent") !=
			       std::string::npos;
		}));
		const std::string text = testutil::read_file(log);
		EXPECT_EQ(count_of(text, "Node 02:aa:00:00:00:02 has detected radar") +
				  count_of(text, "Node 00:00:00:00:00:00 has detected radar"),
			  1u);
		EXPECT_EQ(count_of(text, "Watchlist: "), 0u);
		EXPECT_EQ(count_of(text, "Alloc new watchnode for prefix '192.168.1.2'"), 1u);
	}
}

} // namespace
