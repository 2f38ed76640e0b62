#include "bus/blobmsg.h"
#include "tests/bus/codec_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace codectest;

namespace {

const char radio_bytes[] = "00000088"
			   "82000084 0005726164696f00"
			   "8600000e 00036931 36000000 fffb0000"
			   "84000014 00036936 34000000 fffffffd e78ee600"
			   "88000010 00016400 3fd00000 00000000"
			   "81000044 00046c69 73740000"
			   "8500000c 00000000 00000001"
			   "8300000a 00000000 78000000"
			   "87000009 00000000 00000000"
			   "82000014 00000000"
			   "8500000c 00016b00 00000002";

} // namespace

TEST(Blobmsg, BuildsTheNestingExampleByteForByte)
{
	Buf b;
	build_radio(&b);
	EXPECT_EQ(b.hex_all(), squeeze(radio_bytes));
}

TEST(Blobmsg, ReadsTheNestingExampleBack)
{
	Wire w(radio_bytes);
	auto *root = w.attr();
	ASSERT_TRUE(blob_attr_fits(root, w.len));

	const struct blobmsg_policy top[] = {{"radio", BLOBMSG_TYPE_TABLE}};
	struct blob_attr *tb[1];
	ASSERT_EQ(blobmsg_parse(top, 1, tb, blob_data(root), unsigned(blob_len(root))), 0);
	ASSERT_TRUE(tb[0]);
	EXPECT_STREQ(blobmsg_name(tb[0]), "radio");
	EXPECT_EQ(blobmsg_check_array(tb[0], BLOBMSG_TYPE_TABLE), 4);

	const struct blobmsg_policy pol[] = {{"i16", BLOBMSG_TYPE_INT16},
					     {"i64", BLOBMSG_TYPE_INT64},
					     {"d", BLOBMSG_TYPE_DOUBLE},
					     {"list", BLOBMSG_TYPE_ARRAY}};
	struct blob_attr *r[4];
	ASSERT_EQ(blobmsg_parse(pol, 4, r, blobmsg_data(tb[0]), unsigned(blobmsg_len(tb[0]))), 0);
	ASSERT_TRUE(r[0] && r[1] && r[2] && r[3]);
	EXPECT_EQ(int16_t(blobmsg_get_u16(r[0])), -5);
	EXPECT_EQ(int64_t(blobmsg_get_u64(r[1])), -9000000000LL);
	EXPECT_EQ(blobmsg_get_double(r[2]), 0.25);
	EXPECT_EQ(blobmsg_check_array(r[3], BLOBMSG_TYPE_ARRAY), 4);
	EXPECT_EQ(blobmsg_check_array(r[3], BLOBMSG_TYPE_TABLE), -1);

	const struct blobmsg_policy elems[] = {{nullptr, BLOBMSG_TYPE_INT32},
					       {nullptr, BLOBMSG_TYPE_STRING},
					       {nullptr, BLOBMSG_TYPE_BOOL},
					       {nullptr, BLOBMSG_TYPE_TABLE}};
	struct blob_attr *e[4];
	ASSERT_EQ(blobmsg_parse_array(elems, 4, e, blobmsg_data(r[3]),
				      unsigned(blobmsg_len(r[3]))),
		  0);
	ASSERT_TRUE(e[0] && e[1] && e[2] && e[3]);
	EXPECT_EQ(blobmsg_get_u32(e[0]), 1u);
	EXPECT_STREQ(blobmsg_get_string(e[1]), "x");
	EXPECT_FALSE(blobmsg_get_bool(e[2]));
	EXPECT_STREQ(blobmsg_name(e[3]), "");
	EXPECT_EQ(blobmsg_check_array(e[3], BLOBMSG_TYPE_UNSPEC), 1);
}

TEST(Blobmsg, BuildsTheFlatExampleAndTheCapturedReplyTable)
{
	Buf b;
	blobmsg_add_string(&b, "name", "ap1");
	blobmsg_add_u32(&b, "channel", 36);
	blobmsg_add_bool(&b, "enabled", 1);
	EXPECT_EQ(b.hex_all(), squeeze("0000003c 83000010 00046e61 6d650000 61703100 85000014 "
				       "00076368 616e6e65 6c000000 00000024 87000011 0007656e "
				       "61626c65 64000000 01000000"));

	Buf r(BLOBMSG_TYPE_TABLE);
	blobmsg_add_bool(&r, "ok", true);
	blobmsg_add_u32(&r, "id", 7);
	EXPECT_EQ(r.hex_all(), squeeze("02000024 8700000d 00026f6b 00000000 01000000 "
				       "85000010 00026964 00000000 00000007"));
}

TEST(Blobmsg, PolicyParseTakesFirstMatchAndSkipsWrongTypes)
{
	Buf b;
	blobmsg_add_string(&b, "a", "wrongtype");
	blobmsg_add_u32(&b, "a", 5);
	blobmsg_add_string(&b, "b", "first");
	blobmsg_add_string(&b, "b", "second");
	blobmsg_add_bool(&b, "d", true);

	const struct blobmsg_policy pol[] = {{"a", BLOBMSG_TYPE_INT32},
					     {"b", BLOBMSG_TYPE_STRING},
					     {"c", BLOBMSG_TYPE_INT32},
					     {"d", BLOBMSG_TYPE_UNSPEC}};
	struct blob_attr *tb[4];
	ASSERT_EQ(blobmsg_parse(pol, 4, tb, blob_data(b.b.head), unsigned(blob_len(b.b.head))), 0);
	ASSERT_TRUE(tb[0]);
	EXPECT_EQ(blobmsg_get_u32(tb[0]), 5u);
	ASSERT_TRUE(tb[1]);
	EXPECT_STREQ(blobmsg_get_string(tb[1]), "first");
	EXPECT_EQ(tb[2], nullptr);
	ASSERT_TRUE(tb[3]);
	EXPECT_EQ(blobmsg_type(tb[3]), BLOBMSG_TYPE_BOOL);
}

TEST(Blobmsg, PolicyParseMatchesNamesExactlyAndCastsIntegers)
{
	Buf b;
	blobmsg_add_u32(&b, "idx", 1);    // longer than "id"
	blobmsg_add_u32(&b, "ID", 2);     // other case
	blobmsg_add_u16(&b, "n16", 3);
	blobmsg_add_u8(&b, "n8", 4);
	blobmsg_add_u64(&b, "n64", 5);
	blobmsg_add_string(&b, "ns", "6");
	blobmsg_add_u32(&b, nullptr, 7);  // unnamed: never matched
	blobmsg_add_u32(&b, "both", 8);

	const struct blobmsg_policy pol[] = {
		{"id", BLOBMSG_TYPE_INT32},   {"n16", BLOBMSG_CAST_INT64},
		{"n8", BLOBMSG_CAST_INT64},   {"n64", BLOBMSG_CAST_INT64},
		{"ns", BLOBMSG_CAST_INT64},   {"", BLOBMSG_TYPE_UNSPEC},
		{"both", BLOBMSG_TYPE_INT32}, {"both", BLOBMSG_TYPE_UNSPEC},
	};
	const bool present[] = {false, true, true, true, false, false, true, true};
	struct blob_attr *tb[8];
	ASSERT_EQ(blobmsg_parse(pol, 8, tb, blob_data(b.b.head), unsigned(blob_len(b.b.head))), 0);
	for (int i = 0; i < 8; i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(tb[i] != nullptr, present[i]);
	}
}

TEST(Blobmsg, PolicyParseEmptyInputIsInvalidWithAllSlotsCleared)
{
	const struct blobmsg_policy pol[] = {{"a", BLOBMSG_TYPE_INT32}};
	struct blob_attr *tb[1];
	tb[0] = reinterpret_cast<struct blob_attr *>(&tb);
	char byte = 0;
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, &byte, 0), -EINVAL);
	EXPECT_EQ(tb[0], nullptr);
	tb[0] = reinterpret_cast<struct blob_attr *>(&tb);
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, nullptr, 4), -EINVAL);
	EXPECT_EQ(tb[0], nullptr);
}

TEST(Blobmsg, PolicyParseStopsAtTheFirstMalformedMemberKeepingEarlierSlots)
{
	// "a" = 1, then "b" as INT32 with 2 data bytes, then "c" = 3.
	Wire w("8500000c 00016100 00000001"
	       "8500000a 00016200 00020000"
	       "8500000c 00016300 00000003");
	const struct blobmsg_policy pol[] = {{"a", BLOBMSG_TYPE_INT32},
					     {"b", BLOBMSG_TYPE_UNSPEC},
					     {"c", BLOBMSG_TYPE_INT32}};
	struct blob_attr *tb[3];
	EXPECT_EQ(blobmsg_parse(pol, 3, tb, w.bytes.get(), unsigned(w.len)), -1);
	ASSERT_TRUE(tb[0]);
	EXPECT_EQ(blobmsg_get_u32(tb[0]), 1u);
	EXPECT_EQ(tb[1], nullptr);
	EXPECT_EQ(tb[2], nullptr);
}

// One case per way a single attribute can be malformed.
TEST(Blobmsg, ValidationRejectsEachMalformedShape)
{
	struct Case {
		const char *name;
		const char *bytes; // one attribute, exactly as long as given
		bool need_name;
		bool ok;
	};
	const Case cases[] = {
		{"well formed int32", "8500000c 00016b00 00000002", true, true},
		{"truncated header", "850000", false, false},
		{"length past the end", "85000010 00016b00 00000002", false, false},
		{"length below 4", "85000003 00016b00 00000002", false, false},
		{"extended without room for the name length", "87000005 01", false, false},
		{"name header longer than the payload", "83000008 00056162", false, false},
		{"name without its nul", "8500000c 00016b41 00000002", false, false},
		{"empty name where one is needed", "8500000c 00000000 00000002", true, false},
		{"empty name in an array", "8500000c 00000000 00000002", false, true},
		{"int8 with two bytes", "8700000a 00016b00 0102", false, false},
		{"int16 with one byte", "86000009 00016b00 01", false, false},
		{"int32 with two bytes", "8500000a 00016b00 0102", false, false},
		{"int64 with four bytes", "8400000c 00016b00 00000002", false, false},
		{"double with four bytes", "8800000c 00016b00 00000002", false, false},
		{"double with trailing bytes", "88000014 00016b00 3fd00000 00000000 00000000",
		 false, true},
		{"string without nul", "8300000a 00016b00 7878", false, false},
		{"empty string data", "83000008 00016b00", false, false},
		{"type 9", "89000008 00016b00", false, false},
		{"type 127", "ff000008 00016b00", false, false},
		{"unspec with any data", "8000000b 00016b00 010203", false, true},
		{"plain attribute without a name", "05000008 00000002", false, true},
		{"plain attribute where a name is needed", "05000008 00000002", true, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Wire w(c.bytes);
		EXPECT_EQ(blobmsg_check_attr_len(w.attr(), c.need_name, w.len), c.ok);
		if (w.len >= 4 && blob_raw_len(w.attr()) <= w.len) {
			EXPECT_EQ(blobmsg_check_attr(w.attr(), c.need_name), c.ok);
		}
		// The same attribute as the whole input of a policy parse.
		if (w.len >= 4 && blob_pad_len(w.attr()) <= w.len) {
			const struct blobmsg_policy pol[] = {{"k", BLOBMSG_TYPE_UNSPEC}};
			struct blob_attr *tb[1];
			int ret = blobmsg_parse(pol, 1, tb, w.bytes.get(), unsigned(w.len));
			EXPECT_EQ(ret == 0, c.ok || c.need_name || blob_raw_len(w.attr()) < 4);
		}
	}
}

TEST(Blobmsg, CheckArrayRejectsBadChildrenAndWrongContainers)
{
	struct Case {
		const char *name;
		const char *bytes;
		int type;
		int result;
	};
	const Case cases[] = {
		{"table of two", "82000020 00017400 8500000c 00016100 00000001 "
				 "8500000c 00016200 00000002",
		 BLOBMSG_TYPE_TABLE, 2},
		{"any container", "82000014 00017400 8500000c 00016100 00000001",
		 BLOBMSG_TYPE_UNSPEC, 1},
		{"empty array", "81000008 00017400", BLOBMSG_TYPE_ARRAY, 0},
		{"table member without a name", "82000014 00017400 8500000c 00000000 00000001",
		 BLOBMSG_TYPE_TABLE, -1},
		{"array element with a name", "81000014 00017400 8500000c 00016100 00000001",
		 BLOBMSG_TYPE_ARRAY, 1},
		{"bad child", "82000014 00017400 8500000c 00016141 00000001", BLOBMSG_TYPE_TABLE,
		 -1},
		{"child longer than the table", "82000014 00017400 85000010 00016100 00000001",
		 BLOBMSG_TYPE_TABLE, 0},
		{"not a container", "8500000c 00016100 00000001", BLOBMSG_TYPE_UNSPEC, -1},
		{"wrong container", "81000008 00017400", BLOBMSG_TYPE_TABLE, -1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Wire w(c.bytes);
		EXPECT_EQ(blobmsg_check_array(w.attr(), c.type), c.result);
	}
	EXPECT_EQ(blobmsg_check_array(nullptr, BLOBMSG_TYPE_TABLE), -1);
}

TEST(Blobmsg, ArrayParseSkipsElementsOfTheWrongTypeWithoutAdvancing)
{
	Buf b;
	blobmsg_add_string(&b, nullptr, "skip");
	blobmsg_add_u32(&b, nullptr, 1);
	blobmsg_add_u32(&b, nullptr, 2);
	blobmsg_add_string(&b, nullptr, "s");
	blobmsg_add_u32(&b, nullptr, 3);
	const struct blobmsg_policy pol[] = {{nullptr, BLOBMSG_TYPE_INT32},
					     {nullptr, BLOBMSG_TYPE_STRING}};
	struct blob_attr *tb[2];
	ASSERT_EQ(blobmsg_parse_array(pol, 2, tb, blob_data(b.b.head),
				      unsigned(blob_len(b.b.head))),
		  0);
	ASSERT_TRUE(tb[0] && tb[1]);
	EXPECT_EQ(blobmsg_get_u32(tb[0]), 1u);
	EXPECT_STREQ(blobmsg_get_string(tb[1]), "s");
}

TEST(Blobmsg, BuilderRefusesNamesAndTypesThatCannotBeEncoded)
{
	Buf b(BLOBMSG_TYPE_TABLE);
	std::string long_name(0x10000, 'n');
	EXPECT_EQ(blobmsg_add_u8(&b, long_name.c_str(), 1), -1);
	std::string max_name(0xffff, 'n');
	EXPECT_EQ(blobmsg_add_u8(&b, max_name.c_str(), 1), 0);
	EXPECT_EQ(blobmsg_add_field(&b, BLOBMSG_CAST_INT64, "x", "12345678", 8), -1);
	EXPECT_EQ(blobmsg_open_table(&b, long_name.c_str()), nullptr);
	// A failed open keeps the pair balanced: closing it changes nothing.
	size_t before = blob_raw_len(b.b.head);
	blobmsg_close_table(&b, nullptr);
	EXPECT_EQ(blob_raw_len(b.b.head), before);
	EXPECT_EQ(blobmsg_check_array(b.b.head, BLOBMSG_TYPE_UNSPEC), 1);
}
