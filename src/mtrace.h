// Allocation tracing: every record the daemon allocates or releases goes
// through these wrappers, which always do the real work and, with -m, log
// one flushed line per call to /tmp/<program>_mtrace.log naming the calling
// function and source line.
//
// Use the macros: they pass the caller's function name and line.
#pragma once

#include <cstdint>
#include <cstdio>

extern FILE *mtrace_stream;

// Opens the trace file (with -m) and looks up libc's malloc and free.
// Must run before the first traced allocation.
void mtrace_init(const char *name);
// Writes the end line and closes the trace file.
void mtrace_exit(void);

void *mtrace_malloc(uint32_t size, const char *func, int line);
// count x size zero-filled bytes; null when the product overflows 32 bits.
void *mtrace_calloc(uint32_t count, uint32_t size, const char *func, int line);
void mtrace_free(void *ptr, const char *func, int line);
// Writes the "[YYYY-MM-DD hh:mm:ss] " local time prefix to `f`.
void mtrace_timestamp(FILE *f);

#define MTRACE_MALLOC(size) mtrace_malloc((size), __func__, __LINE__)
#define MTRACE_CALLOC(count, size) mtrace_calloc((count), (size), __func__, __LINE__)
#define MTRACE_FREE(ptr) mtrace_free((ptr), __func__, __LINE__)
