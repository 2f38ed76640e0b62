// The simulator program itself: its verdict and exit status, with the real
// controller over its private bus.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/test_util.h"

#if defined(AIRCOORD_SIM_BIN) && defined(AIRCOORD_BIN)

namespace {

struct run_result {
	int status = -1;
	std::string out;
};

run_result run_sim(const std::string &scenario)
{
	run_result r;
	std::vector<std::string> args = {"--controller", AIRCOORD_BIN, "--scenario", scenario};
	if (!testutil::emulator().empty())
		args.insert(args.begin(), {"--emulator", testutil::emulator()});
	std::string cmd = testutil::Command(AIRCOORD_SIM_BIN, args).shell() + " 2>&1";
	FILE *p = popen(cmd.c_str(), "r");
	if (!p)
		return r;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
		r.out.append(buf, n);
	int st = pclose(p);
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return r;
}

const char *const one_box = R"({
  "description": "one router that nobody asks to change channel",
  "duration": 1,
  "boxes": [
    {"name": "router", "mac": "02:aa:00:00:00:01",
     "bss": [{"ifname": "wl0", "ssid": "home", "bssid": "02:00:00:01:00:00", "channel": 6}]}
  ],
  "expect": [
    {"commands": {"cmd": "GET_BSS_INFO", "box": "router", "min": 1}},
    {"channel": {"box": "router", "value": 36}}
  ]
})";

TEST(SimMain, MismatchedExpectationFailsTheRunNamingIt)
{
	testutil::TempDir dir;
	std::ofstream(dir.file("one.json")) << one_box;
	run_result r = run_sim(dir.file("one.json"));
	EXPECT_EQ(r.status, 1) << r.out;
	EXPECT_NE(r.out.find("PASS GET_BSS_INFO to router 1+ times"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("FAIL router channel set to 36 (no channel was ever set)"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("result: FAIL (2 of 3 expectations hold)"), std::string::npos)
		<< r.out;
}

TEST(SimMain, BadScenarioIsRefusedBeforeAnythingRuns)
{
	testutil::TempDir dir;
	std::string bad = one_box;
	bad.replace(bad.find("\"channel\": 6"), 12, "\"channel\": 0");
	std::ofstream(dir.file("bad.json")) << bad;
	run_result r = run_sim(dir.file("bad.json"));
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "aircoord-sim: " + dir.file("bad.json") +
				 ": boxes[0].bss[0].channel: out of range 1..196 (0)\n");

	r = run_sim("no-such-scenario");
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.out.find("no-such-scenario.json: cannot be read"), std::string::npos) << r.out;
}

} // namespace

#endif
