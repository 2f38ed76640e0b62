// Placeholder: replaced by the real implementation.
#include "src/mtrace.h"

#include <cstdlib>
#include <cstring>

FILE *mtrace_stream;

void mtrace_init(const char *) {}
void mtrace_exit(void) {}
void *mtrace_malloc(uint32_t size, const char *, int) { return malloc(size); }
void *mtrace_calloc(uint32_t count, uint32_t size, const char *, int) { return calloc(count, size); }
void mtrace_free(void *ptr, const char *, int) { free(ptr); }
void mtrace_timestamp(FILE *) {}
