// The simulator program itself: its verdict and exit status, with the real
// controller over its private bus.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/test_util.h"

#if defined(AIRCOORD_SIM_BIN) && defined(AIRCOORD_BIN)

namespace {

struct run_result {
	int status = -1;
	std::string out;
};

run_result run_shell(const std::string &cmd)
{
	run_result r;
	FILE *p = popen((cmd + " 2>&1").c_str(), "r");
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

run_result run_sim(const std::string &scenario)
{
	std::vector<std::string> args = {"--controller", AIRCOORD_BIN, "--scenario", scenario};
	if (!testutil::emulator().empty())
		args.insert(args.begin(), {"--emulator", testutil::emulator()});
	return run_shell(testutil::Command(AIRCOORD_SIM_BIN, args).shell());
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

// A command of the README's recipe, and what the README shows it print: a
// failure, the text members of its answer (checked when it succeeds).
struct recipe_step {
	std::string command;
	bool fails = false;
	std::vector<std::string> shows;
};

// The section "Asking the controller" of README.md: the command that holds
// the mesh, then each "$ " command with what follows it, with this build's
// programs for build/ and `sock` for the README's socket.
std::vector<recipe_step> readme_recipe(const std::string &sock)
{
	std::string text = testutil::read_file(std::string(AIRCOORD_SOURCE_DIR) + "/README.md");
	size_t from = text.find("\n## Asking the controller\n");
	std::istringstream in(text.substr(from, text.find("\n## ", from + 1) - from));
	std::string tree = AIRCOORD_SIM_BIN;
	tree = tree.substr(0, tree.rfind("/tools/") + 1);
	auto ours = [&](std::string line) {
		line = std::regex_replace(line, std::regex("(^| )build/"), "$1" + tree);
		return std::regex_replace(line, std::regex("/tmp/aircoord\\.sock"), sock);
	};
	const std::regex text_member("^\\s*(\"[a-z_]+\": \".*\")");
	std::vector<recipe_step> steps;
	bool in_code = false;
	for (std::string line; std::getline(in, line);) {
		std::smatch m;
		if (line.rfind("```", 0) == 0)
			in_code = !in_code;
		else if (in_code && line.find("--hold") != std::string::npos)
			steps.push_back({ours(line), false, {}});
		else if (in_code && line.rfind("$ ", 0) == 0)
			steps.push_back({ours(line.substr(2)), false, {}});
		else if (in_code && !steps.empty() && line.rfind("Command failed", 0) == 0)
			steps.back().fails = true;
		else if (in_code && !steps.empty() && std::regex_search(line, m, text_member))
			steps.back().shows.push_back(m[1]);
	}
	return steps;
}

// Pasted as written, the recipe works: the mesh is held after its verdicts,
// every question is answered as shown (a refused setting refused), a second
// simulator on the bus is turned away, and Ctrl-C ends the hold with the
// demo's verdicts intact.
TEST(SimMain, ReadmeRecipeWorksAsWritten)
{
	if (!testutil::emulator().empty())
		GTEST_SKIP() << "the recipe runs the build machine's programs";
	testutil::TempDir dir;
	std::vector<recipe_step> steps = readme_recipe(dir.file("bus.sock"));
	ASSERT_GE(steps.size(), 4u);
	ASSERT_NE(steps[0].command.find("--hold"), std::string::npos) << steps[0].command;
	std::string out = dir.file("hold.out");
	pid_t pid = fork();
	if (pid == 0) {
		execl("/bin/sh", "sh", "-c", ("exec " + steps[0].command + " >" + out + " 2>&1").c_str(),
		      static_cast<char *>(nullptr));
		_exit(127);
	}
	ASSERT_GT(pid, 0);
	bool holding = testutil::wait_until(
		[&] { return testutil::read_file(out).find("\nholding: ") != std::string::npos; },
		std::chrono::seconds(100));
	for (size_t i = 1; holding && i < steps.size(); i++) {
		SCOPED_TRACE(steps[i].command);
		run_result r = run_shell(steps[i].command);
		EXPECT_EQ(r.status != 0, steps[i].fails) << r.out;
		for (const auto &shown : steps[i].shows)
			EXPECT_NE(r.out.find(shown), std::string::npos) << shown << " in\n" << r.out;
	}
	run_result second = run_shell(testutil::Command(AIRCOORD_SIM_BIN, {"-s", dir.file("bus.sock")}).shell());
	EXPECT_EQ(second.status, 2);
	EXPECT_NE(second.out.find(": an aircoord object is already on the bus there"),
		  std::string::npos)
		<< second.out;
	kill(pid, SIGINT);
	int st = 0;
	waitpid(pid, &st, 0);
	std::string held = testutil::read_file(out);
	ASSERT_TRUE(holding) << held;
	EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0) << held;
	EXPECT_NE(held.find("PASS controller ran to the end and stopped cleanly"), std::string::npos)
		<< held;
	EXPECT_NE(held.find("\nresult: PASS (16 of 16 expectations hold)\n"), std::string::npos)
		<< held;
}

} // namespace

#endif
