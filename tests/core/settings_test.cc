// The settings file of -c: taken whole or not at all, at start-up and on
// SIGHUP (from the loop).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "src/cntlr.h"
#include "src/cntlr_settings.h"
#include "src/main.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;

class SettingsFile : public CntlrFixture {
protected:
	void TearDown() override
	{
		cntlr_settings_stop();
		signal(SIGHUP, SIG_DFL);
		opt_settings_file = nullptr;
		CntlrFixture::TearDown();
	}
	// "-": no file; "dir": a directory in its place.
	void put(const std::string &text)
	{
		remove(path_.c_str());
		if (text == "dir") {
			ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
			return;
		}
		if (text == "-")
			return;
		FILE *f = fopen(path_.c_str(), "w");
		ASSERT_NE(f, nullptr);
		fwrite(text.data(), 1, text.size(), f);
		fclose(f);
	}
	std::string path_ = dir().file("aircoord.json");
};

TEST_F(SettingsFile, IsTakenWholeAtStartAndOnSighupFromTheLoop)
{
	struct cntlr *c = cntlr();
	const std::string file = "settings file '" + path_ + "'";
	opt_settings_file = path_.c_str();
	set_signal_handler(SIGHUP, cntlr_on_reload_signal);
	put(R"({"cmd_timeout":2,"steer_rssi_margin":50})");
	cntlr_settings_start(c);
	EXPECT_EQ(count_log(cntlrtest::error(file + ": steer_rssi_margin: 50 is out of range 0..40; "
						    "built-in defaults in effect\n")),
		  1)
		<< logs();
	EXPECT_EQ(c->cfg.cmd_timeout, 8);
	cntlr_start_timers(c);

	const std::string applied = cntlrtest::info(file + ": new configuration in effect\n");
	auto refused = [&](const std::string &why) {
		return cntlrtest::error(file + ": " + why + "; configuration unchanged\n");
	};
	const struct {
		std::string text;
		std::string log;
		int cmd_timeout;
		int64_t nbr_secs; // where the neighbor timer stands afterwards
	} steps[] = {
		{R"({"cmd_timeout":4,"neighbor_interval":60})", applied, 4, 60},
		{R"({"ubus_rpc_session":"x","cmd_timeout":3,"neighbor_interval":60})", applied, 3, 60},
		{R"({"cmd_timeout":2,"radar_channel":52})",
		 refused("radar_channel: 52 is not one of 36, 40, 44, 48, 149, 153, 157, 161"), 3, 60},
		{R"({"cmd_timeout":2,"margin":5})", refused("margin: unknown key"), 3, 60},
		{R"({"cmd_timeout":2)", refused("not a JSON object"), 3, 60},
		{"[2]", refused("not a JSON object"), 3, 60},
		{std::string("{}\0{\"cmd_timeout\":2}", 20), refused("not a JSON object"), 3, 60},
		{"{" + std::string(5000, ' ') + "}", refused("larger than 4096 bytes"), 3, 60},
		{"dir", refused("Is a directory"), 3, 60},
		{"-", cntlrtest::info(file + " not found: built-in defaults in effect\n"), 8, 10},
	};
	for (const auto &s : steps) {
		SCOPED_TRACE(s.text.substr(0, 60));
		put(s.text);
		clear_logs();
		raise(SIGHUP);
		// Nothing happens inside the handler.
		EXPECT_EQ(logs(), "");
		EXPECT_TRUE(pump_until([&] { return count_log(s.log) == 1; })) << logs();
		EXPECT_EQ(c->cfg.cmd_timeout, s.cmd_timeout);
		int64_t ms = uloop_timeout_remaining64(&c->nbr_timer);
		EXPECT_GT(ms, (s.nbr_secs - 2) * 1000);
		EXPECT_LE(ms, s.nbr_secs * 1000);
	}
	rmdir(path_.c_str());
	uloop_timeout_cancel(&c->nbr_timer);
}

} // namespace
