#include "tests/bus/codec_util.h"

#include <gtest/gtest.h>

#include <cctype>

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

} // namespace codectest
