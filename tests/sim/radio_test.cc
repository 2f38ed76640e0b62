// The radio model: what the agents would report and measure.
#include <gtest/gtest.h>

#include "sim/radio.h"

namespace {

sim::mac_addr mac(const std::string &t)
{
	sim::mac_addr m{};
	EXPECT_TRUE(sim::parse_mac(t, &m));
	return m;
}

TEST(Radio, RepeaterAddressKeepsTheClientsLastThreeBytes)
{
	EXPECT_EQ(sim::translated_mac(mac("5c:aa:bb:01:02:03"), 0x06, {0x12, 0x34}),
		  mac("06:12:34:01:02:03"));
}

TEST(Radio, WeakStationIsReportedOnceUntilItRecoversOrMoves)
{
	sim::radio_model r(-70);
	r.add("phone", mac("5c:aa:bb:01:02:03"));
	r.set_signals("phone", {{"router/wl0", -60}, {"ext1/wl1", -50}});
	r.place("phone", "router/wl0");
	struct {
		const char *what;
		std::map<std::string, int> signal;
		const char *move_to; // null: stays
		bool reported;
	} steps[] = {
		{"strong enough", {}, nullptr, false},
		{"at the threshold is not weak", {{"router/wl0", -70}}, nullptr, false},
		{"one below", {{"router/wl0", -71}}, nullptr, true},
		{"still weak, already reported", {{"router/wl0", -75}}, nullptr, false},
		{"recovers", {{"router/wl0", -65}}, nullptr, false},
		{"weak again", {{"router/wl0", -80}}, nullptr, true},
		{"moves to a BSS where it is weak too", {{"ext1/wl1", -72}}, "ext1/wl1", true},
		{"unassociated stations are never reported", {}, "", false},
	};
	for (const auto &s : steps) {
		SCOPED_TRACE(s.what);
		r.set_signals("phone", s.signal);
		if (s.move_to)
			r.place("phone", s.move_to);
		std::vector<std::string> due = r.take_low_rssi();
		EXPECT_EQ(due.size(), s.reported ? 1u : 0u);
	}
}

TEST(Radio, StationNotHeardOnItsBssIsNotWeak)
{
	sim::radio_model r(-70);
	r.add("tv", mac("5c:aa:bb:01:02:04"));
	r.place("tv", "ext2/wl0");
	EXPECT_TRUE(r.take_low_rssi().empty());
	EXPECT_EQ(r.signal("tv", "ext2/wl0"), 0);
	EXPECT_EQ(r.signal("nobody", "ext2/wl0"), 0);
}

TEST(Radio, ReadingIsTheStrongestOwnBssThatHearsTheStation)
{
	sim::radio_model r;
	r.add("phone", mac("5c:aa:bb:01:02:03"));
	r.set_signals("phone", {{"router/wl0", -71}, {"router/wl1", -58}, {"ext1/wl0", -40}});
	std::vector<std::pair<std::string, sim::mac_addr>> router = {
		{"router/wl0", mac("02:00:00:01:00:00")},
		{"router/wl1", mac("02:00:00:01:00:01")},
	};
	sim::monitor_reading m = r.reading("phone", router);
	EXPECT_EQ(m.rssi, -58);
	EXPECT_EQ(m.bssid, mac("02:00:00:01:00:01"));
	EXPECT_LT(m.seen, 30u);

	std::vector<std::pair<std::string, sim::mac_addr>> deaf = {
		{"ext2/wl0", mac("02:00:00:03:00:00")}};
	m = r.reading("phone", deaf);
	EXPECT_EQ(m.rssi, 0);
	EXPECT_EQ(m.bssid, sim::mac_addr{});

	EXPECT_EQ(r.best_bss("phone"), "ext1/wl0");
	EXPECT_EQ(r.best_bss("nobody"), "");
}

} // namespace
