// Scenario files: what a good one gives, and that a bad one is refused with
// the field and the reason.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/scenario.h"
#include "src/cmd.h"

namespace {

// A small valid scenario of two boxes and one station, still open at its
// end; `boxes_extra` is appended to the box list and `top_extra` put first.
std::string doc(const std::string &boxes_extra = "", const std::string &top_extra = "")
{
	return R"({
  "description": "x",)" + top_extra + R"(
  "boxes": [
    {"name": "router", "mac": "02:aa:00:00:00:01",
     "bss": [{"ifname": "wl0", "ssid": "home", "bssid": "02:00:00:01:00:00", "channel": 6}]},
    {"name": "ext1", "prefix": "192.168.1.2", "mac": "02:aa:00:00:00:02",
     "bss": [{"ifname": "wl1", "ssid": "home", "bssid": "02:00:00:02:00:01", "channel": 36,
              "opclass": 115, "phy_type": 9, "bssid_info": "0x108f"}]})" + boxes_extra + R"(
  ],
  "stations": [{"name": "phone", "mac": "5c:aa:bb:01:02:03", "at": "router/wl0",
                "signal": {"router/wl0": -50}}])";
}

std::string with(const std::string &tail)
{
	return doc() + "," + tail + "}";
}

TEST(Scenario, GoodDocumentGivesBoxesStationsStepsAndExpectations)
{
	std::string text = with(R"(
  "timeline": [
    {"at": 5, "vanish": "ext1"},
    {"at": 1, "signal": {"sta": "phone", "router/wl0": -75, "ext1/wl1": -50}},
    {"at": 2, "fault": {"box": "ext1", "cmd": "GET_MONITOR_STA", "kind": "no_reply"}}],
  "expect": [
    {"steer": {"sta": "phone", "to": "ext1/wl1", "within": 1.5}},
    {"commands": {"cmd": "SET_PARAM", "box": "router", "min": 1, "max": 2}, "label": "mine"}])");
	sim::scenario s;
	std::string err;
	ASSERT_TRUE(sim::parse_scenario(text, &s, &err)) << err;
	ASSERT_EQ(s.boxes.size(), 2u);
	EXPECT_EQ(s.boxes[0].type, "router");
	EXPECT_EQ(s.boxes[1].type, "extender");
	EXPECT_EQ(s.boxes[1].bss[0].bssid_info, 0x108fu);
	EXPECT_EQ(s.lowrssi_threshold, -70);
	ASSERT_EQ(s.timeline.size(), 3u);
	EXPECT_EQ(s.timeline[0].kind, sim::step_kind::signal); // sorted by time
	EXPECT_EQ(s.timeline[0].signal.at("ext1/wl1"), -50);
	EXPECT_EQ(s.timeline[1].fault.cmd, CMD_GET_MONITOR_STA);
	EXPECT_EQ(s.timeline[1].fault.f.kind, sim::fault_kind::no_reply);
	EXPECT_EQ(s.timeline[2].kind, sim::step_kind::vanish);
	ASSERT_EQ(s.expect.size(), 2u);
	EXPECT_EQ(s.expect[0].label, "controller steered phone to ext1/wl1 within 1.5 s");
	EXPECT_EQ(s.expect[0].within, 1.5);
	EXPECT_EQ(s.expect[1].label, "mine");
	EXPECT_EQ(s.expect[1].max, 2);
}

TEST(Scenario, BadDocumentIsRefusedNamingTheFieldAndWhy)
{
	struct {
		const char *what;
		std::string text;
		std::string err;
	} cases[] = {
		{"not JSON", "{\"boxes\": [", "scenario: not JSON"},
		{"not an object", "[1]", "scenario: not an object ([1])"},
		{"no boxes", "{}", "boxes: missing"},
		{"unknown top-level key", doc("", "\"topolgy\": true,") + "}",
		 "scenario: unknown key \"topolgy\""},
		{"bad MAC", doc(R"(,
    {"name": "ext2", "prefix": "192.168.1.3", "mac": "02:aa", "bss": []})") + "}",
		 "boxes[2].mac: not a MAC address (\"02:aa\")"},
		{"prefix not an address", doc(R"(,
    {"name": "ext2", "prefix": "abc", "mac": "02:aa:00:00:00:03", "bss": []})") + "}",
		 "boxes[2].prefix: not an IPv4 address (\"abc\")"},
		{"five BSSes", doc(R"(,
    {"name": "ext2", "prefix": "192.168.1.3", "mac": "02:aa:00:00:00:03", "bss": [{},{},{},{},{}]})") + "}",
		 "boxes[2].bss: needs 1 to 4 BSSes (5)"},
		{"duplicate BSSID", doc(R"(,
    {"name": "ext2", "prefix": "192.168.1.3", "mac": "02:aa:00:00:00:03",
     "bss": [{"ifname": "wl0", "ssid": "h", "bssid": "02:00:00:01:00:00", "channel": 6}]})") + "}",
		 "boxes[2].bss[0].bssid: also a BSSID of box \"router\""},
		{"channel as text", doc(R"(,
    {"name": "ext2", "prefix": "192.168.1.3", "mac": "02:aa:00:00:00:03",
     "bss": [{"ifname": "wl0", "ssid": "h", "bssid": "02:00:00:03:00:00", "channel": "six"}]})") + "}",
		 "boxes[2].bss[0].channel: not an integer (\"six\")"},
		{"translation without OUI list", doc(R"(,
    {"name": "rep", "prefix": "192.168.1.3", "mac": "02:aa:00:00:00:03", "translate": true,
     "bss": [{"ifname": "wl0", "ssid": "h", "bssid": "02:00:00:03:00:00", "channel": 6}]})") + "}",
		 "boxes[2].translate: needs the scenario's \"oui\" list"},
		{"mobility domain", doc("", "\"mobility_domain\": \"12345\",") + "}",
		 "mobility_domain: not four hex digits (\"12345\")"},
		{"step without action", with(R"("timeline": [{"at": 1}])"),
		 "timeline[0]: no action"},
		{"step with two actions", with(R"("timeline": [{"at": 1, "vanish": "ext1", "appear": "ext1"}])"),
		 "timeline[0]: holds both \"vanish\" and \"appear\""},
		{"unknown box", with(R"("timeline": [{"at": 1, "vanish": "ext9"}])"),
		 "timeline[0].vanish: no box named \"ext9\""},
		{"misspelt key before the references it leaves dangling",
		 with(R"("timeline": [{"at": 1, "leave": "tablet"}],
  "station": [{"name": "tablet", "mac": "5c:aa:bb:01:02:04"}])"),
		 "scenario: unknown key \"station\""},
		{"misspelt key of a step before its reference",
		 with(R"("timeline": [{"at": 1, "leave": "tablet", "lable": "x"}])"),
		 "timeline[0]: unknown key \"lable\""},
		{"misspelt key of a box before the clash it causes", doc(R"(,
    {"name": "ext2", "prefx": "192.168.1.3", "mac": "02:aa:00:00:00:03", "bss": []})") + "}",
		 "boxes[2]: unknown key \"prefx\""},
		{"unknown box in a BSS name",
		 with(R"("timeline": [{"at": 1, "roam": {"sta": "phone", "to": "ext3/wl0"}}])"),
		 "timeline[0].roam.to: no box named \"ext3\" (\"ext3/wl0\")"},
		{"unknown BSS", with(R"("timeline": [{"at": 1, "roam": {"sta": "phone", "to": "ext1/wl7"}}])"),
		 "timeline[0].roam.to: box \"ext1\" has no BSS \"wl7\""},
		{"signal out of range", with(R"("timeline": [{"at": 1, "signal": {"sta": "phone", "router/wl0": 20}}])"),
		 "timeline[0].signal.router/wl0: out of range -127..0 (20)"},
		{"unknown command", with(R"("timeline": [{"at": 1, "fault": {"box": "ext1", "cmd": "GET_FOO", "kind": "no_reply"}}])"),
		 "timeline[0].fault.cmd: unknown command \"GET_FOO\""},
		{"unknown fault", with(R"("timeline": [{"at": 1, "fault": {"box": "ext1", "kind": "sulk"}}])"),
		 "timeline[0].fault.kind: unknown fault \"sulk\""},
		{"restart of an unknown object", with(R"("timeline": [{"at": 1, "restart": {"box": "ext1", "order": ["wifi.agnt"]}}])"),
		 "timeline[0].restart.order[0]: not an object of a box (\"wifi.agnt\")"},
		{"churn without a crowd", with(R"("timeline": [{"at": 1, "churn": {"seed": 3}}])"),
		 "timeline[0].churn.stations: missing"},
		{"negative time", with(R"("timeline": [{"at": -1, "note": "x"}])"),
		 "timeline[0].at: out of range 0..600 (-1)"},
		{"unknown station", with(R"("expect": [{"station_at": {"sta": "laptop", "bss": "router/wl0"}}])"),
		 "expect[0].station_at.sta: no station named \"laptop\""},
		{"unknown expectation", with(R"("expect": [{"radar": "ext1"}])"),
		 "expect[0]: no expectation"},
		{"misspelt member", with(R"("expect": [{"channel": {"box": "router", "valeu": 36}}])"),
		 "expect[0].channel.value: missing"},
		{"time bound of zero",
		 with(R"("expect": [{"disconnect": {"box": "router", "sta": "phone", "within": 0}}])"),
		 "expect[0].disconnect.within: not above 0"},
		{"time bound as text", with(R"("expect": [{"steer": {"sta": "phone", "within": "1.5"}}])"),
		 "expect[0].steer.within: not a number (\"1.5\")"},
		{"time bound on an absence",
		 with(R"("expect": [{"no_disconnect": {"sta": "phone", "within": 1}}])"),
		 "expect[0].no_disconnect: unknown key \"within\""},
		{"max below min", with(R"("expect": [{"commands": {"cmd": "SCAN", "min": 3, "max": 1}}])"),
		 "expect[0].commands.max: below min"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		sim::scenario s;
		s.name = "untouched";
		std::string err;
		EXPECT_FALSE(sim::parse_scenario(c.text, &s, &err));
		EXPECT_EQ(err.substr(0, c.err.size()), c.err) << err;
		EXPECT_EQ(s.name, "untouched");
	}
}

TEST(Scenario, LoadNamesTheFileInItsError)
{
	sim::scenario s;
	std::string err;
	EXPECT_FALSE(sim::load_scenario("no-such-scenario", "/nonexistent", &s, &err));
	EXPECT_EQ(err, "/nonexistent/no-such-scenario.json: cannot be read");
}

TEST(Scenario, EveryShippedScenarioParses)
{
	std::string dir = std::string(AIRCOORD_SOURCE_DIR) + "/sim/scenarios";
	int n = 0;
	for (const auto &e : std::filesystem::directory_iterator(dir)) {
		if (e.path().extension() != ".json")
			continue;
		SCOPED_TRACE(e.path().filename().string());
		sim::scenario s;
		std::string err;
		EXPECT_TRUE(sim::load_scenario(e.path().string(), dir, &s, &err)) << err;
		EXPECT_EQ(s.name, e.path().stem().string());
		EXPECT_FALSE(s.expect.empty());
		n++;
	}
	EXPECT_GE(n, 3);
}

} // namespace
