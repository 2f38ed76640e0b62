// The byte records' boundaries: signal bytes, the radar search window, the
// hex text and the decoders' refusals of short records.
#include <gtest/gtest.h>

#include "sim/records.h"

namespace {

TEST(Records, SignalByteIs256PlusDbmWithinOneByte)
{
	struct {
		int rssi;
		uint8_t byte;
	} cases[] = {{-60, 0xc4}, {-1, 0xff}, {-255, 0x01}, {-256, 0x00}, {0, 0x00}, {5, 0x00}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.rssi);
		sim::monitor_reading r;
		r.rssi = c.rssi;
		r.seen = 0x01020304;
		std::vector<uint8_t> rec = sim::encode_monitor_sta({}, r);
		ASSERT_EQ(rec.size(), 20u);
		EXPECT_EQ(rec[12], c.byte);
		EXPECT_EQ(rec[16], 0x01);
		EXPECT_EQ(rec[19], 0x04);
	}
}

TEST(Records, RadarIsFoundOnlyWithinTheStatedElementLength)
{
	std::vector<uint8_t> pad(20, 0x11);
	struct {
		const char *what;
		size_t offset; // where the radar element starts among the elements
		int64_t ie_len;
		bool found;
	} cases[] = {
		{"first element", 0, -1, true},
		{"after other elements", 20, -1, true},
		{"ends exactly at the length", 20, 29, true},
		{"one byte past the length", 20, 28, false},
		{"length beyond the record", 20, 5000, true},
		{"length zero", 0, 0, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		sim::scan_result r;
		r.ies.assign(pad.begin(), pad.begin() + static_cast<long>(c.offset));
		r.radar = true;
		r.ie_len = c.ie_len;
		std::vector<uint8_t> rec = sim::encode_scanres({}, r);
		ASSERT_EQ(rec.size(), 1172u);
		EXPECT_EQ(sim::scanres_has_radar(rec), c.found);
	}
	EXPECT_FALSE(sim::scanres_has_radar(std::vector<uint8_t>(100, 0xdd)));
}

TEST(Records, HexTextDecodesUpToTheFirstBadPair)
{
	struct {
		const char *text;
		std::vector<uint8_t> bytes;
	} cases[] = {
		{"0a0B", {0x0a, 0x0b}},
		{"0a0", {0x0a}},
		{"zz0a", {}},
		{"0a:0b", {0x0a}},
		{"", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(sim::decode_hex(c.text), c.bytes);
	}
	EXPECT_EQ(sim::encode_hex({0x00, 0xab, 0xff}), "00abff");
}

TEST(Records, DecodersRefuseShortOrForeignRecords)
{
	std::vector<uint8_t> set_param(140, 0);
	std::string name = "channel";
	std::copy(name.begin(), name.end(), set_param.begin());
	set_param[135] = 36;
	int ch = -1;
	EXPECT_TRUE(sim::decode_set_param_channel(set_param, &ch));
	EXPECT_EQ(ch, 36);
	set_param[0] = 'C';
	ch = -1;
	EXPECT_FALSE(sim::decode_set_param_channel(set_param, &ch));
	EXPECT_EQ(ch, -1);
	EXPECT_FALSE(sim::decode_set_param_channel(std::vector<uint8_t>(139, 0), &ch));

	sim::steer_request s;
	EXPECT_FALSE(sim::decode_steer(std::vector<uint8_t>(15, 0), &s));
	sim::neighbor_entry n;
	EXPECT_FALSE(sim::decode_neighbor(std::vector<uint8_t>(16, 0), &n));
	std::string ssid;
	EXPECT_FALSE(sim::decode_scan_ssid({}, &ssid));
}

TEST(Records, ListsAreCutToWhatTheRecordsHold)
{
	std::vector<sim::mac_addr> seven(7, sim::mac_addr{1, 2, 3, 4, 5, 6});
	std::vector<uint8_t> a = sim::encode_assoclist("a-very-long-interface-name", seven);
	ASSERT_EQ(a.size(), 52u);
	EXPECT_EQ(sim::fixed_text(a.data(), 16), "a-very-long-inte");
	EXPECT_EQ(a[19], 5);
	EXPECT_EQ(a[50], 0);

	std::vector<uint8_t> o = sim::encode_oui(std::vector<uint8_t>(40, 7), std::endian::little);
	ASSERT_EQ(o.size(), 36u);
	EXPECT_EQ(o[0], 32);
	EXPECT_EQ(o[35], 7);
	o = sim::encode_oui({7}, std::endian::big);
	EXPECT_EQ(std::vector<uint8_t>(o.begin(), o.begin() + 5), (std::vector<uint8_t>{0, 0, 0, 1, 7}));

	std::vector<sim::bss_info_item> five(5);
	EXPECT_EQ(sim::encode_bss_info(6, five).size(), 12u + 4 * 61);
}

} // namespace
