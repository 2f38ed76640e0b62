// Placeholder: replaced by the real implementation.
#include "src/utils.h"

int hex_digit_value(uint8_t) { return -1; }
int hex_pair_value(const char *) { return -1; }
extern "C" uint8_t *strtob(const char *, uint32_t, uint8_t *) { return nullptr; }
char *btostr(const uint8_t *, int, char *str) { return str; }
extern "C" uint8_t *hwaddr_aton(const char *, uint8_t *) { return nullptr; }
extern "C" char *hwaddr_ntoa(const uint8_t *, char *buf) { return buf; }
int hwaddr_is_zero(const uint8_t *) { return 1; }
int byte_in_set(const uint8_t *, const uint8_t *, int) { return 0; }
