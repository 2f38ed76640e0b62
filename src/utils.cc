#include "src/utils.h"

#include <cstdio>

int hex_digit_value(uint8_t c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

int hex_pair_value(const char *p)
{
	// The second character is not read when the first fails: p[0] may be
	// the text's terminating NUL.
	int hi = hex_digit_value(static_cast<uint8_t>(p[0]));
	if (hi < 0)
		return -1;
	int lo = hex_digit_value(static_cast<uint8_t>(p[1]));
	if (lo < 0)
		return -1;
	return (hi << 4) | lo;
}

// Reply handlers pass the reply's length with its NUL, which exceeds the
// bytes the text holds; the NUL is not a hex digit, so decoding stops at
// the text's end and they use the run decoded before it.
extern "C" uint8_t *strtob(const char *str, uint32_t len, uint8_t *out)
{
	for (uint32_t i = 0; i < len; i++) {
		int v = hex_pair_value(str + 2 * static_cast<size_t>(i));
		if (v < 0)
			return nullptr;
		out[i] = static_cast<uint8_t>(v);
	}
	return out;
}

char *btostr(const uint8_t *data, int len, char *str)
{
	static const char digits[] = "0123456789abcdef";

	if (!str)
		return nullptr;
	char *end = str;
	while (*end)
		end++;
	for (int i = 0; i < len; i++) {
		*end++ = digits[data[i] >> 4];
		*end++ = digits[data[i] & 0x0f];
	}
	*end = '\0';
	return str;
}

extern "C" uint8_t *hwaddr_aton(const char *text, uint8_t *mac)
{
	const char *p = text;

	for (int i = 0; i < 6; i++) {
		int v = hex_pair_value(p);
		if (v < 0)
			return nullptr;
		mac[i] = static_cast<uint8_t>(v);
		p += 2;
		if (i < 5) {
			if (*p != ':')
				return nullptr;
			p++;
		}
	}
	return mac;
}

extern "C" char *hwaddr_ntoa(const uint8_t *mac, char *buf)
{
	snprintf(buf, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
	         mac[5]);
	return buf;
}

int hwaddr_is_zero(const uint8_t *mac)
{
	return (mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) == 0;
}

int byte_in_set(const uint8_t *set, const uint8_t *key, int n)
{
	for (int i = 0; i < n; i++) {
		if (set[i] == key[0])
			return 1;
	}
	return 0;
}
