#include "bus/blob.h"
#include "bus/blobmsg.h"
#include "tests/bus/codec_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace codectest;

namespace {

enum {
	A_STATUS = 1,
	A_OBJPATH,
	A_OBJID,
	A_METHOD,
	A_OBJTYPE,
	A_SIGNATURE,
	A_DATA,
	A_TARGET,
	A_ACTIVE,
	A_NO_REPLY,
	A_SUBSCRIBERS,
	A_USER,
	A_GROUP,
	A_MAX
};

const struct blob_attr_info bus_policy[A_MAX] = {
	{BLOB_ATTR_UNSPEC}, {BLOB_ATTR_INT32},  {BLOB_ATTR_STRING}, {BLOB_ATTR_INT32},
	{BLOB_ATTR_STRING}, {BLOB_ATTR_INT32},  {BLOB_ATTR_NESTED}, {BLOB_ATTR_NESTED},
	{BLOB_ATTR_INT32},  {BLOB_ATTR_INT8},   {BLOB_ATTR_INT8},   {BLOB_ATTR_NESTED},
	{BLOB_ATTR_STRING}, {BLOB_ATTR_STRING},
};

struct CapturedCase {
	const char *name;
	std::function<void(struct blob_buf *)> build;
	const char *bytes;
	std::function<void(struct blob_attr **)> check;
};

} // namespace

// The bus message bodies captured between the router's own components.
TEST(Blob, BuildsCapturedBusBodiesByteForByteAndParsesThemBack)
{
	const std::vector<CapturedCase> cases = {
		{"add object with signature",
		 [](struct blob_buf *b) {
			 blob_put_string(b, A_OBJPATH, "demo");
			 void *sig = blob_nest_start(b, A_SIGNATURE);
			 void *get = blobmsg_open_table(b, "get");
			 blobmsg_add_u32(b, "id", BLOBMSG_TYPE_INT32);
			 blobmsg_close_table(b, get);
			 blob_nest_end(b, sig);
		 },
		 "00000030 | 02000009 64656d6f 00000000 | 06000020 8200001c 00036765 74000000 "
		 "85000010 00026964 00000000 00000005",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_OBJPATH]);
			 EXPECT_STREQ(blob_get_string(tb[A_OBJPATH]), "demo");
			 ASSERT_TRUE(tb[A_SIGNATURE]);
			 EXPECT_EQ(blob_len(tb[A_SIGNATURE]), 0x1cu);
		 }},
		{"add object reply",
		 [](struct blob_buf *b) {
			 blob_put_int32(b, A_OBJID, 0x087fee8f);
			 blob_put_int32(b, A_OBJTYPE, 0x31bb3252);
		 },
		 "00000014 | 03000008 087fee8f | 05000008 31bb3252",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_OBJID] && tb[A_OBJTYPE]);
			 EXPECT_EQ(blob_get_u32(tb[A_OBJID]), 0x087fee8fu);
			 EXPECT_EQ(blob_get_u32(tb[A_OBJTYPE]), 0x31bb3252u);
		 }},
		{"status not found",
		 [](struct blob_buf *b) { blob_put_int32(b, A_STATUS, 4); },
		 "0000000c | 01000008 00000004",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_STATUS]);
			 EXPECT_EQ(blob_get_int32(tb[A_STATUS]), 4);
		 }},
		{"event register",
		 [](struct blob_buf *b) {
			 blob_put_int32(b, A_OBJID, 1);
			 blob_put_string(b, A_METHOD, "register");
			 void *data = blob_nest_start(b, A_DATA);
			 blobmsg_add_u32(b, "object", 0xd4b5fe72);
			 blobmsg_add_string(b, "pattern", "demo.*");
			 blob_nest_end(b, data);
		 },
		 "0000004c | 03000008 00000001 | 0400000d 72656769 73746572 00000000 | 07000030 "
		 "85000014 00066f62 6a656374 00000000 d4b5fe72 "
		 "83000017 00077061 74746572 6e000000 64656d6f 2e2a0000",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_METHOD] && tb[A_DATA]);
			 EXPECT_STREQ(blob_get_string(tb[A_METHOD]), "register");
			 EXPECT_EQ(blob_len(tb[A_DATA]), 0x2cu);
		 }},
		{"invoke forwarded to the owner",
		 [](struct blob_buf *b) {
			 blob_put_int32(b, A_OBJID, 0x087fee8f);
			 blob_put_string(b, A_METHOD, "get");
			 blob_put_string(b, A_USER, "root");
			 blob_put_string(b, A_GROUP, "root");
			 void *data = blob_nest_start(b, A_DATA);
			 blobmsg_add_u32(b, "id", 7);
			 blob_nest_end(b, data);
		 },
		 "00000040 | 03000008 087fee8f | 04000008 67657400 | 0c000009 726f6f74 00000000 | "
		 "0d000009 726f6f74 00000000 | 07000014 85000010 00026964 00000000 00000007",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_USER] && tb[A_GROUP] && tb[A_METHOD]);
			 EXPECT_STREQ(blob_get_string(tb[A_USER]), "root");
			 EXPECT_STREQ(blob_get_string(tb[A_GROUP]), "root");
			 EXPECT_STREQ(blob_get_string(tb[A_METHOD]), "get");
		 }},
		{"event send",
		 [](struct blob_buf *b) {
			 blob_put_int32(b, A_OBJID, 1);
			 blob_put_string(b, A_METHOD, "send");
			 void *data = blob_nest_start(b, A_DATA);
			 blobmsg_add_string(b, "id", "demo.ev");
			 void *t = blobmsg_open_table(b, "data");
			 blobmsg_add_u32(b, "n", 1);
			 blobmsg_close_table(b, t);
			 blob_nest_end(b, data);
		 },
		 "00000048 | 03000008 00000001 | 04000009 73656e64 00000000 | 07000030 "
		 "83000014 00026964 00000000 64656d6f 2e657600 "
		 "82000018 00046461 74610000 8500000c 00016e00 00000001",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_OBJID] && tb[A_DATA]);
			 EXPECT_EQ(blob_get_u32(tb[A_OBJID]), 1u);
		 }},
		{"object add event",
		 [](struct blob_buf *b) {
			 blob_put_int32(b, A_OBJID, 0xc2a78c71);
			 blob_put_string(b, A_METHOD, "ubus.object.add");
			 void *data = blob_nest_start(b, A_DATA);
			 blobmsg_add_u32(b, "id", 0x087fee8f);
			 blobmsg_add_string(b, "path", "demo");
			 blob_nest_end(b, data);
		 },
		 "00000048 | 03000008 c2a78c71 | 04000014 75627573 2e6f626a 6563742e 61646400 | "
		 "07000028 85000010 00026964 00000000 087fee8f "
		 "83000011 00047061 74680000 64656d6f 00000000",
		 [](struct blob_attr **tb) {
			 ASSERT_TRUE(tb[A_METHOD]);
			 EXPECT_STREQ(blob_get_string(tb[A_METHOD]), "ubus.object.add");
		 }},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Buf b;
		c.build(&b);
		EXPECT_EQ(b.hex_all(), squeeze(c.bytes));

		Wire w(c.bytes);
		struct blob_attr *tb[A_MAX];
		auto *root = w.attr();
		ASSERT_TRUE(blob_attr_fits(root, w.len));
		EXPECT_GT(blob_parse(root, tb, bus_policy, A_MAX), 0);
		c.check(tb);
	}
}

TEST(Blob, IntegerAndStringLengthsAndPadding)
{
	struct Case {
		const char *name;
		std::function<struct blob_attr *(struct blob_buf *)> put;
		const char *bytes;
	};
	const std::vector<Case> cases = {
		{"u8", [](struct blob_buf *b) { return blob_put_u8(b, 9, 1); },
		 "09000005 01000000"},
		{"u16", [](struct blob_buf *b) { return blob_put_u16(b, 1, 0xfffb); },
		 "01000006 fffb0000"},
		{"u64 high word first",
		 [](struct blob_buf *b) { return blob_put_u64(b, 3, 0xfffffffde78ee600ull); },
		 "0300000c fffffffd e78ee600"},
		{"string counts its nul",
		 [](struct blob_buf *b) { return blob_put_string(b, 2, "demo"); },
		 "02000009 64656d6f 00000000"},
		{"empty payload", [](struct blob_buf *b) { return blob_put(b, 7, nullptr, 0); },
		 "07000004"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Buf b;
		struct blob_attr *a = c.put(&b);
		ASSERT_NE(a, nullptr);
		EXPECT_EQ(hex(a, blob_pad_len(a)), squeeze(c.bytes));
		EXPECT_EQ(blob_pad_len(b.b.head), 4 + blob_pad_len(a));
	}
}

TEST(Blob, ContainerLengthCountsEveryChildsPadding)
{
	Buf b;
	void *c = blob_nest_start(&b, 1);
	blob_put(&b, 2, "0123456789ab", 12);     // 16
	blob_put(&b, 2, "0123456789abcdef", 16); // 20
	blob_put(&b, 2, "0123456789abc", 13);    // 17, padded to 20
	blob_nest_end(&b, c);
	auto *nest = static_cast<struct blob_attr *>(blob_data(b.b.head));
	EXPECT_EQ(blob_raw_len(nest), 60u);
	EXPECT_EQ(blob_raw_len(b.b.head), 64u);
}

TEST(Blob, NestedContainersCloseInnermostFirst)
{
	Buf b;
	void *outer = blob_nest_start(&b, 1);
	void *inner = blob_nest_start(&b, 2);
	blob_put_u32(&b, 3, 0xdeadbeef);
	blob_nest_end(&b, inner);
	blob_put_u8(&b, 4, 7);
	blob_nest_end(&b, outer);
	blob_put_u8(&b, 5, 1);
	EXPECT_EQ(b.hex_all(), "00000024"
				 "01000018"
				 "0200000c03000008deadbeef"
				 "0400000507000000"
				 "0500000501000000");
}

TEST(Blob, GrowingMovesTheBufferWithoutLosingOpenContainers)
{
	Buf b;
	void *outer = blob_nest_start(&b, 1);
	std::string big(5000, 'x');
	for (int i = 0; i < 50; i++)
		ASSERT_NE(blob_put_string(&b, 2, big.c_str()), nullptr);
	blob_nest_end(&b, outer);

	auto *nest = static_cast<struct blob_attr *>(blob_data(b.b.head));
	EXPECT_EQ(blob_raw_len(nest), 4 + 50 * blob_pad4(4 + 5001));
	int n = 0;
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, nest, rem)
	{
		EXPECT_EQ(blob_get_string(cur), big);
		n++;
	}
	EXPECT_EQ(n, 50);
}

TEST(Blob, BufferStopsGrowingAtTheLengthLimit)
{
	Buf b;
	std::vector<char> chunk(0x400000, 'a');
	int added = 0;
	while (blob_put(&b, 2, chunk.data(), chunk.size()))
		added++;
	EXPECT_EQ(added, 3);
	EXPECT_LE(blob_raw_len(b.b.head), size_t(BLOB_ATTR_LEN_MASK));
	EXPECT_EQ(blob_put(&b, 2, chunk.data(), 0x1000000), nullptr);
	// Still usable below the limit.
	EXPECT_NE(blob_put_u8(&b, 1, 1), nullptr);
}

TEST(Blob, ReinitReusesTheBufferAndFreeIsIdempotent)
{
	struct blob_buf b = {};
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	blob_put_string(&b, 2, "first message");
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(codectest::hex(b.head, blob_pad_len(b.head)), "00000004");
	blob_buf_free(&b);
	blob_buf_free(&b);
	EXPECT_EQ(b.buf, nullptr);
	// Appending to a freed buffer fails instead of writing through null.
	EXPECT_EQ(blob_put_u8(&b, 1, 1), nullptr);
	EXPECT_EQ(blob_nest_start(&b, 1), nullptr);
	blob_nest_end(&b, nullptr);
}

TEST(Blob, ParseKeepsTheLastValidDuplicateAndIgnoresBadOnes)
{
	// STATUS 1, STATUS 2, STATUS with a 2-byte payload (wrong size), id 14
	// (beyond the table), METHOD without its NUL, METHOD "" (NUL only).
	Wire w("00000034"
					  "01000008 00000001"
	       "01000008 00000002"
	       "01000006 00090000"
	       "0e000008 00000005"
	       "04000007 616263 00"
	       "04000005 00000000");
	struct blob_attr *tb[A_MAX];
	auto *root = w.attr();
	ASSERT_TRUE(blob_attr_fits(root, w.len));
	EXPECT_EQ(blob_parse(root, tb, bus_policy, A_MAX), 2);
	ASSERT_TRUE(tb[A_STATUS]);
	EXPECT_EQ(blob_get_u32(tb[A_STATUS]), 2u);
	ASSERT_TRUE(tb[A_METHOD]);
	EXPECT_STREQ(blob_get_string(tb[A_METHOD]), "");
}

TEST(Blob, KindChecksDemandExactIntegerSizesAndTerminatedStrings)
{
	struct Case {
		int type;
		const char *payload;
		size_t len;
		bool ok;
	};
	const Case cases[] = {
		{BLOB_ATTR_INT8, "\x01", 1, true},      {BLOB_ATTR_INT8, "\x01\x02", 2, false},
		{BLOB_ATTR_INT16, "\x01", 1, false},    {BLOB_ATTR_INT16, "\x01\x02", 2, true},
		{BLOB_ATTR_INT32, "abc", 3, false},     {BLOB_ATTR_INT32, "abcd", 4, true},
		{BLOB_ATTR_INT32, "abcde", 5, false},   {BLOB_ATTR_INT64, "abcdefgh", 8, true},
		{BLOB_ATTR_INT64, "abcd", 4, false},    {BLOB_ATTR_STRING, "", 0, false},
		{BLOB_ATTR_STRING, "ab", 2, false},     {BLOB_ATTR_STRING, "ab", 3, true},
		{BLOB_ATTR_NESTED, "", 0, true},        {BLOB_ATTR_BINARY, "xyz", 3, true},
		{BLOB_ATTR_LAST, "", 0, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "type " << c.type << " len " << c.len);
		EXPECT_EQ(blob_check_type(c.payload, c.len, c.type), c.ok);
	}
}

TEST(Blob, MalformedRunsEndTheWalkInsideTheBuffer)
{
	struct Case {
		const char *name;
		const char *bytes; // a run of attributes
		int parsed;        // attributes blob_parse takes without a policy
	};
	const Case cases[] = {
		{"truncated header", "01000008 00000001 0300", 1},
		{"length past the end", "01000008 00000001 03000010 00000001", 1},
		{"length below the header", "01000008 00000001 03000002 00000001", 1},
		{"zero length", "00000000 01000008 00000001", 0},
		{"padding missing on the last child", "01000008 00000001 02000005 41", 1},
		{"maximal length field", "01ffffff 00000000", 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Wire w(c.bytes);
		struct blob_attr *tb[A_MAX];
		EXPECT_EQ(blob_parse_untrusted(w.bytes.get(), w.len, tb, nullptr, A_MAX), c.parsed);
	}
}

TEST(Blob, AttrFitsChecksHeaderAndLength)
{
	Wire w("0300000c 00000001 00000002");
	auto *a = w.attr();
	EXPECT_TRUE(blob_attr_fits(a, 12));
	EXPECT_TRUE(blob_attr_fits(a, 16));
	EXPECT_FALSE(blob_attr_fits(a, 11));
	EXPECT_FALSE(blob_attr_fits(a, 3));
	EXPECT_FALSE(blob_attr_fits(nullptr, 12));
	Wire tiny("03000003");
	EXPECT_FALSE(blob_attr_fits(tiny.attr(), tiny.len));
}

TEST(Blob, PutRawCopiesOneAttributeAndPadsIt)
{
	Wire src("8300000a 00000000 78000000");
	Buf b;
	ASSERT_NE(blob_put_raw(&b, src.bytes.get(), src.len), nullptr);
	EXPECT_EQ(b.hex_all(), "000000108300000a0000000078000000");
	EXPECT_EQ(blob_put_raw(&b, src.bytes.get(), 9), nullptr); // claims more than given
}

TEST(Blob, UnalignedInputIsReadWithoutMisalignedLoads)
{
	Wire w("00 0700000c fffffffd e78ee600");
	struct blob_attr *tb[8];
	const struct blob_attr_info info[8] = {{}, {}, {}, {}, {}, {}, {}, {BLOB_ATTR_INT64}};
	EXPECT_EQ(blob_parse_untrusted(w.bytes.get() + 1, w.len - 1, tb, info, 8), 1);
	ASSERT_TRUE(tb[7]);
	EXPECT_EQ(blob_get_u64(tb[7]), 0xfffffffde78ee600ull);
}
