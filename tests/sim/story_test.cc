// How a run reads: the controller's texts in the scenario's names, its log
// cut for a reader, and the history nearest to an expectation that failed.
#include <gtest/gtest.h>

#include "sim/story.h"

namespace {

// A router named "gw" and an extender at 192.168.1.2.
sim::scenario two_boxes()
{
	sim::scenario s;
	std::string err;
	EXPECT_TRUE(sim::parse_scenario(R"({"boxes": [
    {"name": "gw", "mac": "02:aa:00:00:00:01",
     "bss": [{"ifname": "wl1", "ssid": "home", "bssid": "02:00:00:01:00:01", "channel": 36}]},
    {"name": "ext1", "prefix": "192.168.1.2", "mac": "02:aa:00:00:00:02",
     "bss": [{"ifname": "wl0", "ssid": "home", "bssid": "02:00:00:02:00:00", "channel": 6}]}],
  "stations": [{"name": "phone", "mac": "5c:aa:bb:01:02:03"}]})",
					&s, &err))
		<< err;
	return s;
}

TEST(Story, ControllerTextsReadInTheScenariosNames)
{
	sim::namer names(two_boxes());
	const struct {
		const char *text, *read;
	} cases[] = {
		{"left router/wl1 for 192.168.1.2/wl0", "left gw/wl1 for ext1/wl0"},
		{"left 02:00:00:01:00:01 for 02:00:00:02:00:00", "left gw/wl1 for ext1/wl0"},
		{"agent of 192.168.1.2 (02:aa:00:00:00:02) left the bus",
		 "agent of ext1 (02:aa:00:00:00:02) left the bus"},
		{"192.168.1.2.", "ext1."},
		{"192.168.1.20/wl0 and 192.168.1.2.5", "192.168.1.20/wl0 and 192.168.1.2.5"},
		{"myrouter/wl1, 102:00:00:01:00:01", "myrouter/wl1, 102:00:00:01:00:01"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(names(c.text), c.read);
	}
}

TEST(Story, LogDigestLeavesOutTracesColoursAndPointers)
{
	std::string log = "\x1b[0;34mAlloc new node ### for prefix '192.168.1.2'\n\x1b[0m"
			  "\x1b[0m\x1b[0;32mCNTLR: \x1b[0mlnode = 0x55d0c1a2b3c0\n\x1b[0m"
			  "\x1b[0;33mCNTLR: Sending CMD SCAN  (&cmd = 0x7ffd, agent = 0x1) --->\n"
			  "##########################################\n"
			  "\x1b[0;31m\x1b[0;31mCNTLR: Cntlr CMD STEER failed (ret = Request timed out)\n"
			  "\x1b[0m\x1b[0m[ &node = 0x55d0c1a2b3c0 ] woke\n\x1b[0m"
			  "==4242==ERROR: AddressSanitizer: heap-use-after-free\n";
	EXPECT_EQ(sim::log_digest(log, 10),
		  "Alloc new node ### for prefix '192.168.1.2'\n"
		  "CNTLR: Cntlr CMD STEER failed (ret = Request timed out)\n"
		  "[ &node = * ] woke\n"
		  "==4242==ERROR: AddressSanitizer: heap-use-after-free\n");
	EXPECT_EQ(sim::log_digest(log, 1), "==4242==ERROR: AddressSanitizer: heap-use-after-free\n");
}

TEST(Story, FailedHistoryExpectationShowsTheNearestEntries)
{
	sim::namer names(two_boxes());
	const sim::mac_addr phone = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	const sim::mac_addr other = {0x5c, 0, 0, 0, 0, 9};
	auto entry = [](long t, const char *kind, const sim::mac_addr &sta, const char *reason) {
		sim::history_entry e;
		e.time = t;
		e.kind = kind;
		e.has_sta = true;
		e.sta = sta;
		e.reason = reason;
		return e;
	};
	const std::vector<sim::history_entry> hist = {
		entry(1, "steer", other, "to 192.168.1.2/wl0"),
		entry(2, "disconnect", phone, "left router/wl1 for 192.168.1.2/wl0"),
		entry(3, "no_steer", phone, "a"),
		entry(4, "no_steer", phone, "b"),
		entry(5, "no_steer", phone, "c"),
	};
	const sim::mac_addr nobody = {0x5c, 0, 0, 0, 0, 1};
	const struct {
		const char *kind;
		const sim::mac_addr &sta;
		const char *nearest;
	} cases[] = {
		{"no_steer", phone, "[4 s] no_steer: b; [5 s] no_steer: c"}, // its own of the kind
		{"disconnect", other, "[1 s] steer: to ext1/wl0"},          // its own
		{"disconnect", nobody, "[2 s] disconnect: left gw/wl1 for ext1/wl0"}, // the kind
		{"radar", nobody, ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.kind);
		EXPECT_EQ(sim::nearest_entries(hist, {c.sta}, c.kind, names), c.nearest);
	}
}

} // namespace
