// Hex payload codec and MAC address helpers. Pure functions: every buffer
// is the caller's.
#pragma once

#include <cstdint>

// strtob and the hwaddr_ text helpers are exported from the executable
// (aircoord.dynlist); the rest of the daemon is hidden.
#define UTILS_EXPORT extern "C" __attribute__((visibility("default")))

int hex_digit_value(uint8_t c);
// Two characters at p; -1 when either is not a hex digit (the second is not
// read when the first fails).
int hex_pair_value(const char *p);

// Decodes `len` bytes from the hex text; stops (returning null) at the first
// pair that is not two hex digits, which includes the text's end. The bytes
// decoded so far stay written. The caller bounds `len` by its buffer.
UTILS_EXPORT uint8_t *strtob(const char *str, uint32_t len, uint8_t *out);
// Appends the lower-case hex of `len` bytes to the NUL-terminated text in
// `str`; returns `str`, or null when `str` is null.
char *btostr(const uint8_t *data, int len, char *str);

// Parses "xx:xx:xx:xx:xx:xx" (either case); trailing text is ignored.
UTILS_EXPORT uint8_t *hwaddr_aton(const char *text, uint8_t *mac);
// Formats into `buf` (at least 18 bytes).
UTILS_EXPORT char *hwaddr_ntoa(const uint8_t *mac, char *buf);
int hwaddr_is_zero(const uint8_t *mac);
// 1 when one of the first n bytes of `set` equals key[0].
int byte_in_set(const uint8_t *set, const uint8_t *key, int n);

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC2STR(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]
