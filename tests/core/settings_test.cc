// The settings file of -c: taken whole or not at all, at start-up and on
// SIGHUP (from the loop).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "src/cntlr.h"
#include "src/main.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;

void write_file(const std::string &path, const std::string &text)
{
	FILE *f = fopen(path.c_str(), "w");
	ASSERT_NE(f, nullptr);
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
}

class SettingsFile : public CntlrFixture {
protected:
	void TearDown() override
	{
		cntlr_settings_stop();
		signal(SIGHUP, SIG_DFL);
		opt_settings_file = nullptr;
		CntlrFixture::TearDown();
	}
	std::string path_ = dir().file("aircoord.json");
};

TEST_F(SettingsFile, IsTakenWholeOrNotAtAll)
{
	const std::string big(5000, ' ');
	const struct {
		const char *name;
		std::string text; // "-": no file, "dir": a directory
		int ret;
		int margin;
		const char *why;
	} cases[] = {
		{"as the init script writes it",
		 R"({"steer_rssi_margin":5,"cmd_timeout":3,"steering":false,"steer_exclude_extra":[]})", 0,
		 5, ""},
		{"with a session member", R"({"ubus_rpc_session":"x","steer_rssi_margin":6})", 0, 6, ""},
		{"empty object", "{}", 0, 8, ""},
		{"no file", "-", 1, 8, ""},
		{"a directory", "dir", -1, 8, "Is a directory"},
		{"cut short", R"({"steer_rssi_margin":5)", -1, 8, "not a JSON object"},
		{"an array", "[5]", -1, 8, "not a JSON object"},
		{"a NUL inside", std::string("{}\0{\"x\":1}", 10), -1, 8, "not a JSON object"},
		{"too long", "{" + big + "}", -1, 8, "larger than 4096 bytes"},
		{"one value out of range", R"({"steer_rssi_margin":5,"cmd_timeout":31})", -1, 8,
		 "cmd_timeout: 31 is out of range 1..30"},
		{"an unknown key", R"({"steer_rssi_margin":5,"margin":5})", -1, 8, "margin: unknown key"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string path = dir().file(std::string("s") + std::to_string(&c - cases));
		if (c.text == "dir")
			ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
		else if (c.text != "-")
			write_file(path, c.text);
		struct cntlr_config cfg;
		char why[CNTLR_WHY_LEN] = "";
		EXPECT_EQ(cntlr_settings_read(path.c_str(), &cfg, why, sizeof(why)), c.ret);
		EXPECT_STREQ(why, c.why);
		EXPECT_EQ(cfg.steer_rssi_margin, c.margin);
		// Never a part of a set: the rest is the defaults unless all was taken.
		EXPECT_EQ(cfg.cmd_timeout, c.margin == 5 ? 3 : 8);
	}
}

TEST_F(SettingsFile, StartUpTakesItAndSighupAppliesItFromTheLoop)
{
	struct cntlr *c = cntlr();
	opt_settings_file = path_.c_str();
	write_file(path_, R"({"cmd_timeout":2,"neighbor_interval":20})");
	set_signal_handler(SIGHUP, cntlr_on_reload_signal);
	cntlr_settings_start(c);
	EXPECT_EQ(c->cfg.cmd_timeout, 2);
	EXPECT_EQ(count_log(cntlrtest::info("settings file '" + path_ +
					    "': new configuration in effect\n")),
		  1);
	cntlr_start_timers(c);

	const struct {
		std::string text;
		std::string log;
		int cmd_timeout;
		int64_t nbr_secs; // where the neighbor timer stands afterwards
	} steps[] = {
		{R"({"cmd_timeout":4,"neighbor_interval":60})",
		 cntlrtest::info("settings file '" + path_ + "': new configuration in effect\n"), 4, 60},
		{R"({"cmd_timeout":40})",
		 cntlrtest::error("settings file '" + path_ +
				  "': cmd_timeout: 40 is out of range 1..30; configuration unchanged\n"),
		 4, 60},
		{"-",
		 cntlrtest::info("settings file '" + path_ +
				 "' not found: built-in defaults in effect\n"),
		 8, 10},
	};
	for (const auto &s : steps) {
		SCOPED_TRACE(s.text);
		if (s.text == "-")
			remove(path_.c_str());
		else
			write_file(path_, s.text);
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
	uloop_timeout_cancel(&c->nbr_timer);
}

} // namespace
