#include "src/utils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

TEST(HexCodec, DigitValuesAtTheEdgesOfEachRange)
{
	struct Case {
		int c;
		int want;
	};
	const Case cases[] = {
	    {'0', 0},  {'9', 9},  {'a', 10},  {'f', 15},  {'A', 10},  {'F', 15},
	    {'/', -1}, {':', -1}, {'`', -1},  {'g', -1},  {'@', -1},  {'G', -1},
	    {0, -1},   {' ', -1}, {0xb0, -1}, {0xe1, -1}, {0xff, -1}, {'x', -1},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(tc.c);
		EXPECT_EQ(hex_digit_value(static_cast<uint8_t>(tc.c)), tc.want);
	}
}

TEST(HexCodec, PairStopsBeforeReadingPastABadFirstDigit)
{
	// Exactly one byte: ASan reports a read of p[1].
	auto nul = std::make_unique<char[]>(1);
	nul[0] = '\0';
	EXPECT_EQ(hex_pair_value(nul.get()), -1);
	auto bad = std::make_unique<char[]>(1);
	bad[0] = 'z';
	EXPECT_EQ(hex_pair_value(bad.get()), -1);

	EXPECT_EQ(hex_pair_value("fF"), 0xff);
	EXPECT_EQ(hex_pair_value("0a"), 0x0a);
	EXPECT_EQ(hex_pair_value("a"), -1);
	EXPECT_EQ(hex_pair_value("a-"), -1);
}

TEST(HexCodec, StrtobStopsAtTheFirstBadPairAndKeepsWhatItDecoded)
{
	struct Case {
		const char *text;
		uint32_t len;
		bool ok;
		std::vector<uint8_t> written; // bytes expected at out[0..]
	};
	const Case cases[] = {
	    {"0aFf", 2, true, {0x0a, 0xff}},
	    {"0aFf", 5, false, {0x0a, 0xff}},
	    {"0g12", 2, false, {}},
	    {"", 3, false, {}},
	    {"abc", 2, false, {0xab}},
	    {"0a 1", 2, false, {0x0a}},
	    {"DEADbeef", 4, true, {0xde, 0xad, 0xbe, 0xef}},
	    {"DEADbeef", 2, true, {0xde, 0xad}},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(std::string(tc.text) + " len " + std::to_string(tc.len));
		std::array<uint8_t, 8> out;
		out.fill(0x5a);
		uint8_t *r = strtob(tc.text, tc.len, out.data());
		EXPECT_EQ(r, tc.ok ? out.data() : nullptr);
		for (size_t i = 0; i < out.size(); i++) {
			uint8_t want = i < tc.written.size() ? tc.written[i] : 0x5a;
			EXPECT_EQ(out[i], want) << "byte " << i;
		}
	}
}

TEST(HexCodec, StrtobOfZeroBytesDoesNotReadTheText)
{
	uint8_t out[1] = {7};
	EXPECT_EQ(strtob(nullptr, 0, out), out);
	EXPECT_EQ(out[0], 7);
}

TEST(HexCodec, BtostrAppendsLowerCaseToTheTextAlreadyThere)
{
	char buf[16] = {};
	const uint8_t first[] = {0x00, 0xab, 0x10};
	const uint8_t second[] = {0xff};

	EXPECT_EQ(btostr(first, 3, buf), buf);
	EXPECT_STREQ(buf, "00ab10");
	EXPECT_EQ(btostr(second, 1, buf), buf);
	EXPECT_STREQ(buf, "00ab10ff");
	EXPECT_EQ(btostr(second, 0, buf), buf);
	EXPECT_STREQ(buf, "00ab10ff");
	EXPECT_EQ(btostr(first, 3, nullptr), nullptr);
}

TEST(HexCodec, EveryByteSurvivesTheRoundTrip)
{
	uint8_t bytes[256];
	for (int i = 0; i < 256; i++)
		bytes[i] = static_cast<uint8_t>(i);
	std::vector<char> text(2 * sizeof(bytes) + 1, '\0');
	btostr(bytes, sizeof(bytes), text.data());
	ASSERT_EQ(strlen(text.data()), 2 * sizeof(bytes));

	uint8_t back[256] = {};
	EXPECT_EQ(strtob(text.data(), sizeof(back), back), back);
	EXPECT_EQ(memcmp(bytes, back, sizeof(bytes)), 0);
}

TEST(MacAddress, AtonAcceptsSixPairsAndIgnoresWhatFollows)
{
	struct Case {
		const char *text;
		std::array<uint8_t, 6> want;
	};
	const Case cases[] = {
	    {"00:1A:2b:3C:4d:5E", {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}},
	    {"00:11:22:33:44:55:66", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
	    {"00:11:22:33:44:55xyz", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
	    {"ff:ff:ff:ff:ff:ff", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(tc.text);
		std::array<uint8_t, 6> mac{};
		EXPECT_EQ(hwaddr_aton(tc.text, mac.data()), mac.data());
		EXPECT_EQ(mac, tc.want);
	}
}

TEST(MacAddress, AtonRejectsMalformedTextAfterWritingTheOctetsBeforeTheFault)
{
	struct Case {
		const char *text;
		int written; // octets stored before the failure
	};
	const Case cases[] = {
	    {"0:11:22:33:44:55", 0},
	    {"00-11-22-33-44-55", 1},
	    {" 00:11:22:33:44:55", 0},
	    {"00:11:22:33:44", 5},
	    {"", 0},
	    {"00:11:22:33:44:", 5},
	    {"00:11:2g:33:44:55", 2},
	    {"00:11:22:33:44:5", 5},
	    {"00:11:22:33:44-55", 5},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(tc.text);
		std::array<uint8_t, 6> mac;
		mac.fill(0xee);
		EXPECT_EQ(hwaddr_aton(tc.text, mac.data()), nullptr);
		const uint8_t parsed[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
		for (int i = 0; i < 6; i++)
			EXPECT_EQ(mac[i], i < tc.written ? parsed[i] : 0xee) << "octet " << i;
	}
}

TEST(MacAddress, NtoaWritesSeventeenLowerCaseCharactersAndTheNul)
{
	const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
	char buf[20];
	memset(buf, 'x', sizeof(buf));

	EXPECT_EQ(hwaddr_ntoa(mac, buf), buf);
	EXPECT_STREQ(buf, "00:1a:2b:3c:4d:5e");
	EXPECT_EQ(buf[18], 'x');

	std::array<uint8_t, 6> back{};
	EXPECT_EQ(hwaddr_aton(buf, back.data()), back.data());
	EXPECT_EQ(memcmp(back.data(), mac, 6), 0);
}

TEST(MacAddress, AnySetByteMakesTheAddressNonZero)
{
	uint8_t mac[6] = {};
	EXPECT_EQ(hwaddr_is_zero(mac), 1);
	for (int i = 0; i < 6; i++) {
		SCOPED_TRACE(i);
		uint8_t one[6] = {};
		one[i] = 0x01;
		EXPECT_EQ(hwaddr_is_zero(one), 0);
		one[i] = 0x80;
		EXPECT_EQ(hwaddr_is_zero(one), 0);
	}
}

TEST(ByteInSet, LooksUpOnlyTheKeysFirstByteAmongTheFirstNBytes)
{
	const uint8_t set[] = {0x02, 0x0a, 0x7f};
	struct Case {
		std::array<uint8_t, 6> key;
		int n;
		int want;
	};
	const Case cases[] = {
	    {{0x0a, 0x11, 0x22, 0x33, 0x44, 0x55}, 2, 1},
	    {{0x0a, 0, 0, 0, 0, 0}, 3, 1},
	    {{0x02, 0, 0, 0, 0, 0}, 1, 1},
	    {{0x7f, 0, 0, 0, 0, 0}, 2, 0}, // beyond n
	    {{0x7f, 0, 0, 0, 0, 0}, 3, 1}, // the n-th byte itself
	    {{0x11, 0x0a, 0x02, 0, 0, 0}, 3, 0},
	    {{0x02, 0, 0, 0, 0, 0}, 0, 0},
	    {{0x02, 0, 0, 0, 0, 0}, -1, 0},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE("key0 " + std::to_string(tc.key[0]) + " n " + std::to_string(tc.n));
		EXPECT_EQ(byte_in_set(set, tc.key.data(), tc.n), tc.want);
	}
}

} // namespace
