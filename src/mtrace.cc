#include "src/mtrace.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "src/main.h"

FILE *mtrace_stream;
const char *mtrace_path_format = "/tmp/%s_mtrace.log";

using malloc_fn = void *(*)(size_t);
using free_fn = void (*)(void *);

static malloc_fn real_malloc;
static free_fn real_free;

void *mtrace_resolve(const char *symbol, void *fallback)
{
	void *fn = dlsym(RTLD_NEXT, symbol);
	if (fn)
		return fn;
	// Without a trace file the line would be lost; stderr is the only
	// other place a developer looks. The allocator this program is linked
	// against keeps the daemon working.
	const char *err = dlerror();
	fprintf(mtrace_stream ? mtrace_stream : stderr, "Error! dlsym: %s\n",
	        err ? err : "unknown error");
	return fallback;
}

static void mtrace_lookup(void)
{
	real_malloc = reinterpret_cast<malloc_fn>(
	    mtrace_resolve("malloc", reinterpret_cast<void *>(&::malloc)));
	real_free =
	    reinterpret_cast<free_fn>(mtrace_resolve("free", reinterpret_cast<void *>(&::free)));
}

void mtrace_init(const char *name)
{
	if (opt_mtrace) {
		char path[128];
		int n = snprintf(path, sizeof(path), mtrace_path_format, name);
		if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
			fprintf(stderr, "mtrace: trace file path too long\n");
			exit(-1);
		}
		mtrace_stream = fopen(path, "w+");
		if (mtrace_stream)
			fprintf(stderr, "Successfully opened '%s'\n", path);
	}

	mtrace_lookup();

	if (opt_mtrace && mtrace_stream) {
		mtrace_timestamp(mtrace_stream);
		fprintf(mtrace_stream, "Begin\n");
		fflush(mtrace_stream);
	}
}

void mtrace_exit(void)
{
	if (opt_mtrace && mtrace_stream) {
		mtrace_timestamp(mtrace_stream);
		fprintf(mtrace_stream, "End\n");
		fclose(mtrace_stream);
		mtrace_stream = nullptr;
	}
}

// A wrapper used before mtrace_init (a test, a helper) still reaches the
// real allocator instead of calling through a null pointer.
static inline void mtrace_ensure_lookup(void)
{
	if (!real_malloc || !real_free)
		mtrace_lookup();
}

// The wrappers stay out of line: the caller address in a trace line is the
// return address of the call in the calling function.
__attribute__((noinline)) void *mtrace_malloc(uint32_t size, const char *func, int line)
{
	void *caller = __builtin_return_address(0);

	mtrace_ensure_lookup();
	void *p = real_malloc(size);
	if (opt_mtrace && p && mtrace_stream) {
		mtrace_timestamp(mtrace_stream);
		fprintf(mtrace_stream, "malloc: %32s():%6d  [& = %12p]   ptr = %12p    size = %u\n",
		        func, line, caller, p, size);
		fflush(mtrace_stream);
	}
	return p;
}

__attribute__((noinline)) void *mtrace_calloc(uint32_t count, uint32_t size, const char *func,
                                              int line)
{
	void *caller = __builtin_return_address(0);

	// The product is a 32-bit size: a wrapped one would hand out a block
	// smaller than the caller will use.
	if (size != 0 && count > UINT32_MAX / size)
		return nullptr;
	uint32_t total = count * size;

	mtrace_ensure_lookup();
	void *p = real_malloc(total);
	if (p)
		memset(p, 0, total);
	if (opt_mtrace && p && mtrace_stream) {
		mtrace_timestamp(mtrace_stream);
		fprintf(mtrace_stream, "calloc: %32s():%6d  [& = %12p]   ptr = %12p    size = %u\n",
		        func, line, caller, p, size);
		fflush(mtrace_stream);
	}
	return p;
}

__attribute__((noinline)) void mtrace_free(void *ptr, const char *func, int line)
{
	void *caller = __builtin_return_address(0);

	mtrace_ensure_lookup();
	real_free(ptr);
	// Only the pointer's value is printed; the memory is gone.
	if (opt_mtrace && mtrace_stream) {
		mtrace_timestamp(mtrace_stream);
		fprintf(mtrace_stream, "free  : %32s():%6d  [& = %12p]   ptr = %12p\n", func, line,
		        caller, ptr);
		fflush(mtrace_stream);
	}
}

void mtrace_timestamp(FILE *f)
{
	time_t now = time(nullptr);
	struct tm tm;

	if (!localtime_r(&now, &tm))
		return;
	fprintf(f, "[%d-%02d-%02d %02d:%02d:%02d] ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
	        tm.tm_hour, tm.tm_min, tm.tm_sec);
}
