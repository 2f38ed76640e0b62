#include "bus/blobmsg_json.h"
#include "tests/bus/codec_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace codectest;

namespace {

// Takes ownership of the renderer's malloc'd text.
std::string text(char *s)
{
	EXPECT_NE(s, nullptr);
	if (!s)
		return "<null>";
	std::string r(s);
	free(s);
	return r;
}

std::string json(struct blob_attr *a, bool list, int indent = -1)
{
	return text(blobmsg_format_json_indent(a, list, indent));
}

const char radio_inner[] =
	R"({"i16":-5,"i64":-9000000000,"d":0.250000,"list":[1,"x",false,{"k":2}]})";

} // namespace

TEST(Json, FlatMessageCompactAndIndented)
{
	Buf b;
	blobmsg_add_string(&b, "name", "ap1");
	blobmsg_add_u32(&b, "channel", 36);
	blobmsg_add_bool(&b, "enabled", 1);
	EXPECT_EQ(json(b.root(), true), R"({"name":"ap1","channel":36,"enabled":true})");
	EXPECT_EQ(json(b.root(), true, 0),
		  "{\n\t\"name\": \"ap1\",\n\t\"channel\": 36,\n\t\"enabled\": true\n}");
}

TEST(Json, NestedMessageAsListAndAsElement)
{
	Buf b;
	build_radio(&b);
	EXPECT_EQ(json(b.root(), true), std::string(R"({"radio":)") + radio_inner + "}");
	EXPECT_EQ(json(b.first(), false), std::string(R"("radio":)") + radio_inner);
	EXPECT_EQ(json(b.first(), true), radio_inner);
	EXPECT_EQ(text(blobmsg_format_json_value_with_cb(b.first(), nullptr, nullptr, -1)),
		  radio_inner);
}

TEST(Json, NestedMessageIndented)
{
	Buf b;
	build_radio(&b);
	EXPECT_EQ(json(b.root(), true, 0), "{\n"
					   "\t\"radio\": {\n"
					   "\t\t\"i16\": -5,\n"
					   "\t\t\"i64\": -9000000000,\n"
					   "\t\t\"d\": 0.250000,\n"
					   "\t\t\"list\": [\n"
					   "\t\t\t1,\n"
					   "\t\t\t\"x\",\n"
					   "\t\t\tfalse,\n"
					   "\t\t\t{\n"
					   "\t\t\t\t\"k\": 2\n"
					   "\t\t\t}\n"
					   "\t\t]\n"
					   "\t}\n"
					   "}");
	// A deeper starting level shifts every line, the first bracket included.
	Buf e;
	EXPECT_EQ(json(e.root(), true, 1), "{\n\t\t\n\t}");
	EXPECT_EQ(json(e.root(), true, 0), "{\n\t\n}");
}

TEST(Json, OddValues)
{
	Buf b;
	blobmsg_add_string(&b, "s", "a\"b\\c/d\be\ff\ng\rh\ti\x01j\x1fk\x7fl\xc3\xa9");
	blobmsg_add_string(&b, nullptr, "empty-name");
	blobmsg_add_double(&b, "big", 1e20);
	blobmsg_add_double(&b, "neg", -1.0 / 3);
	blobmsg_add_double(&b, "nan", NAN);
	blobmsg_add_double(&b, "inf", INFINITY);
	blobmsg_add_u8(&b, "b2", 2);
	blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "nul", nullptr, 0);
	blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "bin", "\x01\x02", 2);
	blobmsg_close_table(&b, blobmsg_open_table(&b, "emptyt"));
	blobmsg_close_array(&b, blobmsg_open_array(&b, "emptya"));
	EXPECT_EQ(json(b.root(), true),
		  "{\"s\":\"a\\\"b\\\\c/d\\be\\u000cf\\ng\\rh\\ti\\u0001j\\u001fk\x7fl\xc3\xa9\","
		  "\"empty-name\",\"big\":100000000000000000000.000000,\"neg\":-0.333333,"
		  "\"nan\":nan,\"inf\":inf,\"b2\":true,\"nul\":null,\"bin\":null,"
		  "\"emptyt\":{},\"emptya\":[]}");
}

TEST(Json, ScalarsAndContainersPerType)
{
	struct Case {
		const char *name;
		std::function<void(struct blob_buf *)> add;
		const char *element; // list = false on the added attribute
	};
	const std::vector<Case> cases = {
		{"int32 above 2^31 prints negative",
		 [](struct blob_buf *b) { blobmsg_add_u32(b, "id", 0xc2a78c71); },
		 R"("id":-1029206927)"},
		{"int16", [](struct blob_buf *b) { blobmsg_add_u16(b, "v", 0x8000); },
		 R"("v":-32768)"},
		{"int64 minimum",
		 [](struct blob_buf *b) { blobmsg_add_u64(b, "v", 0x8000000000000000ull); },
		 R"("v":-9223372036854775808)"},
		{"negative infinity",
		 [](struct blob_buf *b) { blobmsg_add_double(b, "v", -INFINITY); },
		 R"("v":-inf)"},
		{"bool false", [](struct blob_buf *b) { blobmsg_add_u8(b, "v", 0); },
		 R"("v":false)"},
		{"unnamed value", [](struct blob_buf *b) { blobmsg_add_u32(b, nullptr, 5); }, "5"},
		{"key escaped like a value",
		 [](struct blob_buf *b) { blobmsg_add_u8(b, "a\"\n", 1); }, R"("a\"\n":true)"},
		{"string stops at its first nul",
		 [](struct blob_buf *b) {
			 blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "v", "ab\0cd", 6);
		 },
		 R"("v":"ab")"},
		{"array ignores member names",
		 [](struct blob_buf *b) {
			 void *a = blobmsg_open_array(b, "a");
			 blobmsg_add_u32(b, "named", 1);
			 blobmsg_close_array(b, a);
		 },
		 R"("a":[1])"},
		{"table member without a name",
		 [](struct blob_buf *b) {
			 void *t = blobmsg_open_table(b, "t");
			 blobmsg_add_u32(b, "a", 1);
			 blobmsg_add_string(b, nullptr, "x");
			 blobmsg_close_table(b, t);
		 },
		 R"("t":{"a":1,"x"})"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Buf b;
		c.add(&b);
		EXPECT_EQ(json(b.first(), false), c.element);
	}
}

TEST(Json, RootsAndArraysChooseTheirBrackets)
{
	Buf root;
	EXPECT_EQ(json(root.root(), true), "{}");
	EXPECT_EQ(json(root.root(), false), "null");

	Buf t(BLOBMSG_TYPE_TABLE);
	blobmsg_add_u32(&t, "a", 1);
	EXPECT_EQ(json(t.root(), false), R"({"a":1})");

	// Only an extended array renders its contents as a list in brackets.
	Buf plain(BLOBMSG_TYPE_ARRAY);
	blobmsg_add_u32(&plain, nullptr, 1);
	EXPECT_EQ(json(plain.root(), true), "{1}");

	Buf arr;
	void *a = blobmsg_open_array(&arr, "l");
	blobmsg_add_u32(&arr, nullptr, 1);
	blobmsg_add_u32(&arr, nullptr, 2);
	blobmsg_close_array(&arr, a);
	EXPECT_EQ(json(arr.first(), true), "[1,2]");
	EXPECT_EQ(text(blobmsg_format_json_value_with_cb(arr.first(), nullptr, nullptr, -1)),
		  "[1,2]");
	EXPECT_EQ(json(arr.first(), true, 0), "[\n\t1,\n\t2\n]");

	EXPECT_EQ(blobmsg_format_json(nullptr, true), nullptr);
}

TEST(Json, InvalidMembersPrintNothingButKeepTheirComma)
{
	struct Case {
		const char *name;
		const char *bytes; // a root holding the members
		const char *list;
	};
	const Case cases[] = {
		{"two invalid members",
		 "00000018 8500000a 00016100 01020000 83000008 00016200", "{,}"},
		{"invalid member between valid ones",
		 "00000028 8500000c 00016100 00000001 8900000c 00016200 00000002 "
		 "8500000c 00016300 00000003",
		 R"({"a":1,,"c":3})"},
		{"name without its nul", "00000010 8500000c 00016162 00000001", "{}"},
		{"truncated last member ends the walk",
		 "00000014 8500000c 00016100 00000001 85000010 00016200", R"({"a":1})"},
		{"invalid member inside a nested table",
		 "0000001c 82000018 00017400 8500000c 00016100 00000001 87000004",
		 R"({"t":{"a":1,}})"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Wire w(c.bytes);
		auto *root = w.attr();
		ASSERT_TRUE(blob_attr_fits(root, w.len));
		EXPECT_EQ(json(root, true), c.list);
	}
	// An invalid attribute rendered on its own gives empty text.
	Wire bad("8500000a 00016100 01020000");
	EXPECT_EQ(json(bad.attr(), false), "");
}

TEST(Json, DeepNestingDoesNotExhaustTheStack)
{
	// Each level costs 8 bytes, so a 1 MiB message nests about 130000 deep.
	const int depth = 130000;
	Buf b;
	std::vector<void *> cookies;
	for (int i = 0; i < depth; i++)
		cookies.push_back(blobmsg_open_array(&b, nullptr));
	for (int i = depth - 1; i >= 0; i--)
		blobmsg_close_array(&b, cookies[size_t(i)]);
	std::string s = json(b.root(), true);
	EXPECT_TRUE(s == "{" + std::string(depth, '[') + std::string(depth, ']') + "}");
}

namespace {

const char *rename_ints(void *priv, struct blob_attr *attr)
{
	++*static_cast<int *>(priv);
	return blobmsg_type(attr) == BLOBMSG_TYPE_INT32 ? "\"Integer\"" : nullptr;
}

} // namespace

TEST(Json, FormatHookReplacesValuesButNotNames)
{
	Buf b;
	void *get = blobmsg_open_table(&b, "get");
	blobmsg_add_u32(&b, "id", BLOBMSG_TYPE_INT32);
	blobmsg_add_string(&b, "s", "x");
	blobmsg_close_table(&b, get);
	int calls = 0;
	EXPECT_EQ(text(blobmsg_format_json_with_cb(b.first(), false, rename_ints, &calls, -1)),
		  R"("get":{"id":"Integer","s":"x"})");
	EXPECT_EQ(calls, 3);
}

TEST(Json, TextToBlobmsgTypes)
{
	struct Case {
		const char *json;
		const char *bytes; // the root's children
		const char *back;  // rendered again
	};
	const Case cases[] = {
		{R"({"id":7})", "85000010 00026964 00000000 00000007", R"({"id":7})"},
		{R"({"t":true,"f":false})", "87000009 00017400 01000000 87000009 00016600 00000000",
		 R"({"t":true,"f":false})"},
		{R"({"n":-2147483648})", "8500000c 00016e00 80000000", R"({"n":-2147483648})"},
		{R"({"n":2147483648})", "84000010 00016e00 00000000 80000000",
		 R"({"n":2147483648})"},
		{R"({"n":18446744073709551615})", "84000010 00016e00 7fffffff ffffffff",
		 R"({"n":9223372036854775807})"},
		{R"({"d":1.0})", "88000010 00016400 3ff00000 00000000", R"({"d":1.000000})"},
		{R"({"z":null})", "80000008 00017a00", R"({"z":null})"},
		{R"({"s":"x"})", "8300000a 00017300 78000000", R"({"s":"x"})"},
		{R"({"dup":1,"dup":2})", "85000010 00036475 70000000 00000002", R"({"dup":2})"},
		{R"({"l":[1,"x",[],{}]})",
		 "81000030 00016c00 8500000c 00000000 00000001 8300000a 00000000 78000000 "
		 "81000008 00000000 82000008 00000000",
		 R"({"l":[1,"x",[],{}]})"},
		{"{}", "", "{}"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.json);
		Buf b;
		ASSERT_TRUE(blobmsg_add_json_from_string(&b, c.json));
		EXPECT_EQ(hex(blob_data(b.root()), blob_len(b.root())), squeeze(c.bytes));
		EXPECT_EQ(json(b.root(), true), c.back);
	}
}

TEST(Json, TextThatIsNotAnObjectIsRefused)
{
	const char *cases[] = {"[1,2]", "7", "\"s\"", "null", "{\"a\":", ""};
	for (const char *c : cases) {
		SCOPED_TRACE(c);
		Buf b;
		EXPECT_FALSE(blobmsg_add_json_from_string(&b, c));
	}
	Buf b;
	EXPECT_FALSE(blobmsg_add_json_from_string(&b, nullptr));
	EXPECT_FALSE(blobmsg_add_object(&b, nullptr));
}

TEST(Json, ElementsAddUnderTheirNameInsideAnOpenTable)
{
	json_object *obj = json_tokener_parse(R"({"k":[true,null]})");
	ASSERT_NE(obj, nullptr);
	Buf b;
	void *t = blobmsg_open_table(&b, "data");
	EXPECT_TRUE(blobmsg_add_object(&b, obj));
	blobmsg_close_table(&b, t);
	EXPECT_TRUE(blobmsg_add_json_element(&b, "again", json_object_object_get(obj, "k")));
	json_object_put(obj);
	EXPECT_EQ(json(b.root(), true), R"({"data":{"k":[true,null]},"again":[true,null]})");
}
