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

// printf format of the trace file's path, with one %s for the program name.
// The daemon keeps "/tmp/%s_mtrace.log"; a test points it into a private
// directory before mtrace_init. The formatted path must fit 127 bytes, or
// mtrace_init ends the process with status 255.
extern const char *mtrace_path_format;

// Opens the trace file (with -m) and looks up libc's malloc and free.
// Should run before the first traced allocation; a wrapper called earlier
// looks the entry points up itself.
void mtrace_init(const char *name);
// Writes the end line and closes the trace file (mtrace_stream is null
// afterwards, so a later mtrace_init may open a new one).
void mtrace_exit(void);

void *mtrace_malloc(uint32_t size, const char *func, int line);
// count x size zero-filled bytes; null when the product overflows 32 bits.
void *mtrace_calloc(uint32_t count, uint32_t size, const char *func, int line);
void mtrace_free(void *ptr, const char *func, int line);
// dlsym(RTLD_NEXT, symbol), or `fallback` after "Error! dlsym: %s\n" on the
// trace stream (stderr when there is none). Used by mtrace_init for libc's
// malloc and free, which fall back to the allocator this program links.
void *mtrace_resolve(const char *symbol, void *fallback);
// Writes the "[YYYY-MM-DD hh:mm:ss] " local time prefix to `f`.
void mtrace_timestamp(FILE *f);

#define MTRACE_MALLOC(size) mtrace_malloc((size), __func__, __LINE__)
#define MTRACE_CALLOC(count, size) mtrace_calloc((count), (size), __func__, __LINE__)
#define MTRACE_FREE(ptr) mtrace_free((ptr), __func__, __LINE__)
