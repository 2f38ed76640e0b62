#include "src/mtrace.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "src/main.h"
#include "tests/common/test_util.h"
#include "tests/core/stderr_capture.h"

namespace
{

struct Site {
	void *p;
	int line;
};

void *volatile keep_call_site;

// Neither inlined nor cloned, and with work after the call (no tail call),
// so the wrapper's return address lies inside these very functions.
__attribute__((noipa)) Site traced_malloc(uint32_t n)
{
	Site s;
	s.p = MTRACE_MALLOC(n), s.line = __LINE__;
	keep_call_site = s.p;
	return s;
}

__attribute__((noipa)) Site traced_calloc(uint32_t count, uint32_t n)
{
	Site s;
	s.p = MTRACE_CALLOC(count, n), s.line = __LINE__;
	keep_call_site = s.p;
	return s;
}

__attribute__((noipa)) int traced_free(void *p)
{
	int line;
	MTRACE_FREE(p), line = __LINE__;
	keep_call_site = nullptr;
	return line;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	return buf;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> out;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		out.push_back(line);
	return out;
}

const std::string kStamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )";

// One allocation or release line, field by field.
void expect_alloc_line(const std::string &line, const char *kind, const char *func, int src_line,
                       const void *fn_start, const void *ptr, long size)
{
	SCOPED_TRACE(line);
	std::smatch m;
	std::string tail = size >= 0 ? R"(    size = (\d+))" : "()";
	std::regex re("^" + kStamp + kind +
	              R"(: (.{32})\(\):(.{6})  \[& = (.{12,})\]   ptr = (.{12,}))" + tail + "$");
	ASSERT_TRUE(std::regex_match(line, m, re));
	EXPECT_EQ(m[1].str(), format("%32s", func));
	EXPECT_EQ(m[2].str(), format("%6d", src_line));
	EXPECT_EQ(m[4].str(), format("%12p", ptr));
	if (size >= 0) {
		EXPECT_EQ(m[5].str(), std::to_string(size));
	}
	// The caller address is a code address just after the call, inside
	// the calling function.
	uintptr_t caller = std::strtoull(m[3].str().c_str(), nullptr, 16);
	uintptr_t start = reinterpret_cast<uintptr_t>(fn_start);
	EXPECT_GT(caller, start);
	EXPECT_LT(caller, start + 4096);
}

class Mtrace : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		saved_format_ = mtrace_path_format;
		saved_opt_ = opt_mtrace;
		saved_stream_ = mtrace_stream;
		format_ = dir_.path() + "/%s_mtrace.log";
		mtrace_path_format = format_.c_str();
		mtrace_stream = nullptr;
		opt_mtrace = 1;
	}

	void TearDown() override
	{
		if (mtrace_stream)
			fclose(mtrace_stream);
		mtrace_stream = saved_stream_;
		mtrace_path_format = saved_format_;
		opt_mtrace = saved_opt_;
	}

	std::string trace_path(const std::string &name)
	{
		return dir_.file(name + "_mtrace.log");
	}

	// mtrace_init without its "Successfully opened" line in the output.
	void init_quietly(const char *name)
	{
		StderrCapture err(dir_.file("stderr"));
		mtrace_init(name);
	}

	testutil::TempDir dir_;
	std::string format_;

      private:
	const char *saved_format_;
	int saved_opt_;
	FILE *saved_stream_;
};

TEST_F(Mtrace, EachCallIsOneLineFlushedAtOnce)
{
	std::string path = trace_path("frame");
	{
		StderrCapture err(dir_.file("stderr"));
		mtrace_init("frame");
		EXPECT_EQ(err.finish(), "Successfully opened '" + path + "'\n");
	}
	ASSERT_NE(mtrace_stream, nullptr);
	auto lines = [&] { return lines_of(testutil::read_file(path)); };
	ASSERT_EQ(lines().size(), 1u);
	EXPECT_TRUE(std::regex_match(lines()[0], std::regex(kStamp + "Begin"))) << lines()[0];

	Site m = traced_malloc(24);
	ASSERT_NE(m.p, nullptr);
	ASSERT_EQ(lines().size(), 2u);
	expect_alloc_line(lines()[1], "malloc", "traced_malloc", m.line,
	                  reinterpret_cast<void *>(&traced_malloc), m.p, 24);

	Site c = traced_calloc(1, 40);
	ASSERT_NE(c.p, nullptr);
	for (int i = 0; i < 40; i++)
		ASSERT_EQ(static_cast<uint8_t *>(c.p)[i], 0) << i;
	ASSERT_EQ(lines().size(), 3u);
	expect_alloc_line(lines()[2], "calloc", "traced_calloc", c.line,
	                  reinterpret_cast<void *>(&traced_calloc), c.p, 40);

	// The line names the element size, not the product.
	Site arr = traced_calloc(3, 8);
	ASSERT_NE(arr.p, nullptr);
	ASSERT_EQ(lines().size(), 4u);
	expect_alloc_line(lines()[3], "calloc", "traced_calloc", arr.line,
	                  reinterpret_cast<void *>(&traced_calloc), arr.p, 8);

	void *freed = m.p;
	int line = traced_free(m.p);
	ASSERT_EQ(lines().size(), 5u);
	expect_alloc_line(lines()[4], "free  ", "traced_free", line,
	                  reinterpret_cast<void *>(&traced_free), freed, -1);

	line = traced_free(nullptr);
	ASSERT_EQ(lines().size(), 6u);
	expect_alloc_line(lines()[5], "free  ", "traced_free", line,
	                  reinterpret_cast<void *>(&traced_free), nullptr, -1);

	traced_free(c.p);
	traced_free(arr.p);
	mtrace_exit();
	EXPECT_EQ(mtrace_stream, nullptr);
	ASSERT_EQ(lines().size(), 9u);
	EXPECT_TRUE(std::regex_match(lines()[8], std::regex(kStamp + "End"))) << lines()[8];
}

TEST_F(Mtrace, CallocRefusesAProductThatOverflows32Bits)
{
	init_quietly("overflow");
	std::string path = trace_path("overflow");
	const std::string before = testutil::read_file(path);
	struct Case {
		uint32_t count;
		uint32_t size;
	};
	const Case cases[] = {
	    {0x10000, 0x10000},
	    {UINT32_MAX, 2},
	    {2, 0x80000000u},
	    {0x80000001u, 0x80000001u},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(std::to_string(tc.count) + " x " + std::to_string(tc.size));
		EXPECT_EQ(MTRACE_CALLOC(tc.count, tc.size), nullptr);
	}
	EXPECT_EQ(testutil::read_file(path), before);

	// The largest exact products still go through.
	void *p = MTRACE_CALLOC(0x10000, 0x100);
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(static_cast<uint8_t *>(p)[0xffffff], 0);
	MTRACE_FREE(p);
	mtrace_exit();
}

TEST_F(Mtrace, WithoutTracingNoFileIsWrittenAndAllocationsWork)
{
	opt_mtrace = 0;
	std::string err_text;
	{
		StderrCapture err(dir_.file("stderr"));
		mtrace_init("quiet");
		err_text = err.finish();
	}
	EXPECT_EQ(err_text, "");
	EXPECT_EQ(mtrace_stream, nullptr);
	EXPECT_NE(access(trace_path("quiet").c_str(), F_OK), 0);

	void *p = MTRACE_CALLOC(1, 40);
	ASSERT_NE(p, nullptr);
	for (int i = 0; i < 40; i++)
		EXPECT_EQ(static_cast<uint8_t *>(p)[i], 0);
	MTRACE_FREE(p);
	p = MTRACE_MALLOC(16);
	ASSERT_NE(p, nullptr);
	MTRACE_FREE(p);
	mtrace_exit();
}

TEST_F(Mtrace, UnopenableTraceFileTracesNothingQuietly)
{
	format_ = dir_.path() + "/missing/%s_mtrace.log";
	mtrace_path_format = format_.c_str();
	std::string err_text;
	{
		StderrCapture err(dir_.file("stderr"));
		mtrace_init("nodir");
		err_text = err.finish();
	}
	EXPECT_EQ(err_text, "");
	EXPECT_EQ(mtrace_stream, nullptr);
	void *p = MTRACE_MALLOC(8);
	EXPECT_NE(p, nullptr);
	MTRACE_FREE(p);
	mtrace_exit();
}

TEST_F(Mtrace, TracePathMustFitItsBuffer)
{
	// dir + "/" + name + "_mtrace.log" is exactly 127 bytes, the most the
	// 128-byte buffer holds with its NUL.
	size_t fixed = dir_.path().size() + 1 + strlen("_mtrace.log");
	ASSERT_LT(fixed, 120u);
	std::string fits(127 - fixed, 'n');
	init_quietly(fits.c_str());
	EXPECT_NE(mtrace_stream, nullptr);
	mtrace_exit();
	EXPECT_EQ(testutil::read_file(trace_path(fits)).find("Begin"), 22u);

	std::string too_long(128 - fixed, 'n');
	EXPECT_EXIT(mtrace_init(too_long.c_str()), ::testing::ExitedWithCode(255), "too long");
}

TEST_F(Mtrace, FailedLookupFallsBackAndIsReportedWhereItCanBeSeen)
{
	static int fallback;
	void *want = &fallback;
	EXPECT_NE(mtrace_resolve("malloc", want), want);

	std::string err_text;
	{
		StderrCapture err(dir_.file("stderr"));
		EXPECT_EQ(mtrace_resolve("aircoord_no_such_entry", want), want);
		err_text = err.finish();
	}
	EXPECT_EQ(err_text.rfind("Error! dlsym: ", 0), 0u) << err_text;
	EXPECT_NE(err_text.find("aircoord_no_such_entry"), std::string::npos) << err_text;

	// With a trace file the report goes there instead.
	init_quietly("lookup");
	{
		StderrCapture err(dir_.file("stderr"));
		EXPECT_EQ(mtrace_resolve("aircoord_no_such_entry", want), want);
		err_text = err.finish();
	}
	mtrace_exit();
	EXPECT_EQ(err_text, "");
	std::vector<std::string> lines = lines_of(testutil::read_file(trace_path("lookup")));
	ASSERT_EQ(lines.size(), 3u);
	EXPECT_EQ(lines[1].rfind("Error! dlsym: ", 0), 0u) << lines[1];
}

} // namespace
