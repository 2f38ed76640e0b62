#include "tests/bus/codec_util.h"

#include <gtest/gtest.h>

#include <cctype>

#include "bus/blobmsg.h"

namespace codectest {

std::string hex(const void *p, size_t len)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	const auto *b = static_cast<const uint8_t *>(p);
	for (size_t i = 0; i < len; i++) {
		s += digits[b[i] >> 4];
		s += digits[b[i] & 15];
	}
	return s;
}

std::string squeeze(const std::string &text)
{
	std::string out;
	for (char c : text)
		if (isxdigit(static_cast<unsigned char>(c)))
			out += c;
	return out;
}

Wire::Wire(const std::string &text)
{
	std::string s = squeeze(text);
	len = s.size() / 2;
	bytes.reset(new uint8_t[len ? len : 1]);
	for (size_t i = 0; i < len; i++)
		bytes[i] = uint8_t(std::stoul(s.substr(2 * i, 2), nullptr, 16));
}

Buf::Buf(int id)
{
	EXPECT_EQ(blob_buf_init(&b, id), 0);
}

Buf::~Buf()
{
	blob_buf_free(&b);
}

void build_radio(struct blob_buf *b)
{
	void *radio = blobmsg_open_table(b, "radio");
	blobmsg_add_u16(b, "i16", uint16_t(-5));
	blobmsg_add_u64(b, "i64", uint64_t(-9000000000LL));
	blobmsg_add_double(b, "d", 0.25);
	void *list = blobmsg_open_array(b, "list");
	blobmsg_add_u32(b, nullptr, 1);
	blobmsg_add_string(b, nullptr, "x");
	blobmsg_add_u8(b, nullptr, 0);
	void *t = blobmsg_open_table(b, nullptr);
	blobmsg_add_u32(b, "k", 2);
	blobmsg_close_table(b, t);
	blobmsg_close_array(b, list);
	blobmsg_close_table(b, radio);
}

} // namespace codectest
