#include "src/log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <regex>
#include <string>

#include "src/main.h"
#include "tests/common/test_util.h"
#include "tests/core/stderr_capture.h"

namespace
{

// Other tests of this binary log through the same globals: every case starts
// from no sink and leaves them as it found them.
class Logger : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		saved_verbosity_ = opt_verbosity;
		saved_syslog_ = opt_syslog;
		saved_logfile_ = opt_logfile;
		saved_fifo_ = opt_fifo;
		saved_stream_ = log_stream;
		saved_fifo_fd_ = log_fifo_fd;
		opt_verbosity = 2;
		opt_syslog = false;
		opt_logfile = nullptr;
		opt_fifo = false;
		log_stream = nullptr;
		log_fifo_fd = 0;
		// A FIFO without reader would otherwise end the test binary.
		struct sigaction ign = {};
		ign.sa_handler = SIG_IGN;
		sigaction(SIGPIPE, &ign, &saved_pipe_);
	}

	void TearDown() override
	{
		if (log_stream && log_stream != stderr && log_stream != saved_stream_)
			fclose(log_stream);
		if (log_fifo_fd > 0 && log_fifo_fd != saved_fifo_fd_)
			close(log_fifo_fd);
		opt_verbosity = saved_verbosity_;
		opt_syslog = saved_syslog_;
		opt_logfile = saved_logfile_;
		opt_fifo = saved_fifo_;
		log_stream = saved_stream_;
		log_fifo_fd = saved_fifo_fd_;
		sigaction(SIGPIPE, &saved_pipe_, nullptr);
	}

	// Everything readable on a non-blocking descriptor right now.
	static std::string drain(int fd)
	{
		std::string out;
		char buf[4096];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			out.append(buf, static_cast<size_t>(n));
		return out;
	}

	static int lowest_free_fd()
	{
		int fd = fcntl(0, F_DUPFD, 0);
		if (fd < 0)
			fd = open("/dev/null", O_RDONLY);
		close(fd);
		return fd;
	}

	testutil::TempDir dir_;

      private:
	int saved_verbosity_;
	bool saved_syslog_;
	const char *saved_logfile_;
	bool saved_fifo_;
	FILE *saved_stream_;
	int saved_fifo_fd_;
	struct sigaction saved_pipe_;
};

TEST_F(Logger, StreamSinkTakesLevelsUpToTheVerbosity)
{
	struct Case {
		int verbosity;
		int level;
		bool shown;
	};
	const Case cases[] = {
	    {2, 0, true},  {2, 2, true},  {2, 3, false},  {2, 5, false},
	    {2, -1, true}, {3, 3, true},  {4, 4, true},   {4, 5, false},
	    {5, 5, true},  {0, 1, false}, {-1, 0, false}, {-1, -1, true},
	};
	std::string path = dir_.file("stream.log");
	for (const Case &tc : cases) {
		SCOPED_TRACE("verbosity " + std::to_string(tc.verbosity) + " level " +
		             std::to_string(tc.level));
		log_stream = fopen(path.c_str(), "w+");
		ASSERT_NE(log_stream, nullptr);
		opt_verbosity = tc.verbosity;
		log_message(tc.level, "level %d\n", tc.level);
		fclose(log_stream);
		log_stream = nullptr;
		EXPECT_EQ(testutil::read_file(path),
		          tc.shown ? "level " + std::to_string(tc.level) + "\n" : "");
	}
}

TEST_F(Logger, SyslogPriorityOfEveryLevel)
{
	struct Case {
		int level;
		int priority;
	};
	const Case cases[] = {
	    {LOG_LEVEL_CRITICAL, LOG_ERR},
	    {LOG_LEVEL_ERROR, LOG_WARNING},
	    {LOG_LEVEL_INFO, LOG_INFO},
	    {LOG_LEVEL_TRACE, LOG_DEBUG},
	    {LOG_LEVEL_CMD, LOG_DEBUG},
	    {LOG_LEVEL_VERBOSE, LOG_DEBUG},
	    {6, LOG_DEBUG},
	    {1000, LOG_DEBUG},
	    {-1, -1},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(tc.level);
		EXPECT_EQ(log_syslog_priority(tc.level), tc.priority);
	}
}

// Each sink formats from the same arguments; a list consumed by the first
// sink would hand garbage to the next.
TEST_F(Logger, EverySinkGetsTheWholeArgumentList)
{
	std::string stream_path = dir_.file("stream.log");
	log_stream = fopen(stream_path.c_str(), "w+");
	ASSERT_NE(log_stream, nullptr);
	int pipefd[2];
	ASSERT_EQ(pipe2(pipefd, O_NONBLOCK | O_CLOEXEC), 0);
	opt_fifo = true;
	log_fifo_fd = pipefd[1];
	// LOG_PERROR makes syslog's copy of each message visible on stderr.
	opt_syslog = true;
	openlog("aircoord-test", LOG_PERROR, LOG_DAEMON);

	std::string syslog_copy;
	{
		StderrCapture err(dir_.file("stderr"));
		log_message(LOG_LEVEL_INFO, "%s|%d|%s|%ld|%c|%u\n", "one", -2, "three", 4L, '5',
		            6u);
		log_message(-1, "negative %s\n", "level");
		syslog_copy = err.finish();
	}
	closelog();
	fclose(log_stream);
	log_stream = nullptr;
	log_fifo_fd = 0;
	std::string fifo_text = drain(pipefd[0]);
	close(pipefd[0]);
	close(pipefd[1]);

	const std::string first = "one|-2|three|4|5|6\n";
	EXPECT_EQ(testutil::read_file(stream_path), first + "negative level\n");
	EXPECT_EQ(fifo_text, first + "negative level\n");
	EXPECT_NE(syslog_copy.find("aircoord-test: " + first), std::string::npos) << syslog_copy;
	EXPECT_EQ(syslog_copy.find("negative"), std::string::npos) << syslog_copy;
}

TEST_F(Logger, LogFileIsTruncatedAndHoldsTheColourBytes)
{
	std::string path = dir_.file("aircoord.log");
	{
		FILE *f = fopen(path.c_str(), "w");
		fputs("left over from the last run\n", f);
		fclose(f);
	}
	opt_logfile = path.c_str();
	log_open();
	ASSERT_NE(log_stream, nullptr);
	EXPECT_NE(log_stream, stderr);
	EXPECT_EQ(log_fifo_fd, 0);

	log_message(LOG_LEVEL_ERROR, ERROR_MSG("bad %d\n"), 7);
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("not at this verbosity\n"));
	log_message(LOG_LEVEL_INFO, INFO_MSG("topology object: %d\n"), -1);
	log_close();

	EXPECT_EQ(log_stream, nullptr);
	EXPECT_EQ(testutil::read_file(path), "\x1b[0;31mbad 7\n\x1b[0m"
	                                     "\x1b[0;34mtopology object: -1\n\x1b[0m");
}

TEST_F(Logger, LogFileThatCannotBeOpenedLeavesNoSink)
{
	std::string path = dir_.file("no/such/dir/aircoord.log");
	opt_logfile = path.c_str();
	log_open();
	EXPECT_EQ(log_stream, nullptr);
	EXPECT_EQ(log_fifo_fd, 0);
	log_message(LOG_LEVEL_CRITICAL, "nowhere\n");
	log_close();
}

TEST_F(Logger, FifoReaderSeesTheTimePrefixOnlyAboveTheVerbosity)
{
	std::string path = dir_.file("log.fifo");
	opt_logfile = path.c_str();
	opt_fifo = true;
	log_open();
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISFIFO(st.st_mode));
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	ASSERT_GT(log_fifo_fd, 0);
	EXPECT_EQ(log_stream, nullptr);

	int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_GE(reader, 0);
	auto today = [] {
		time_t now = time(nullptr);
		struct tm tm;
		localtime_r(&now, &tm);
		char buf[32];
		strftime(buf, sizeof(buf), "%Y-%m-%d", &tm);
		return std::string(buf);
	};
	std::string day_before = today();
	log_message(LOG_LEVEL_INFO, INFO_MSG("info %d\n"), 1);
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("trace %s\n"), "x");
	log_message(LOG_LEVEL_VERBOSE, "verbose\n");
	std::string day_after = today();
	std::string got = drain(reader);
	close(reader);

	std::smatch m;
	std::regex want("\x1b\\[0;34minfo 1\n\x1b\\[0m"
	                "\\[(\\d{4}-\\d{2}-\\d{2}) \\d{2}:\\d{2}:\\d{2}\\] "
	                "\x1b\\[0m\x1b\\[0;32mCNTLR: \x1b\\[0mtrace x\n\x1b\\[0m"
	                "\\[(\\d{4}-\\d{2}-\\d{2}) \\d{2}:\\d{2}:\\d{2}\\] verbose\n");
	ASSERT_TRUE(std::regex_match(got, m, want)) << got;
	for (int i = 1; i <= 2; i++) {
		EXPECT_TRUE(m[i] == day_before || m[i] == day_after) << m[i];
	}

	log_close();
	EXPECT_EQ(log_fifo_fd, 0);
	EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(Logger, FifoWithoutReaderDropsMessagesAndNeverBlocks)
{
	std::string path = dir_.file("log.fifo");
	opt_logfile = path.c_str();
	opt_fifo = true;
	log_open();
	ASSERT_GT(log_fifo_fd, 0);

	log_message(LOG_LEVEL_INFO, "lost\n");

	// A reader that attaches later gets what follows; one that does not
	// read lets the pipe fill, and the writer still returns at once.
	int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_GE(reader, 0);
	log_message(LOG_LEVEL_INFO, "seen\n");
	EXPECT_EQ(drain(reader), "seen\n");
	const std::string line(200, 'x');
	for (int i = 0; i < 2000; i++)
		log_message(LOG_LEVEL_INFO, "%s\n", line.c_str());
	std::string backlog = drain(reader);
	EXPECT_GT(backlog.size(), 0u);
	EXPECT_LT(backlog.size(), 2000 * (line.size() + 1));
	close(reader);

	log_close();
}

TEST_F(Logger, RegularFileAtTheFifoPathIsLeftAloneAndNothingIsLogged)
{
	std::string path = dir_.file("log.fifo");
	{
		FILE *f = fopen(path.c_str(), "w");
		fputs("mine\n", f);
		fclose(f);
	}
	opt_logfile = path.c_str();
	opt_fifo = true;
	log_open();
	EXPECT_EQ(log_fifo_fd, 0);
	EXPECT_EQ(log_stream, nullptr);
	log_message(LOG_LEVEL_CRITICAL, "anywhere?\n");
	log_close();
	EXPECT_EQ(testutil::read_file(path), "mine\n");
}

TEST_F(Logger, LeftOverEntriesAtTheFifoPath)
{
	struct Case {
		const char *what;
		void (*prepare)(const std::string &path, const std::string &dir);
	};
	const Case cases[] = {
	    {"fifo from an earlier run",
	     [](const std::string &path, const std::string &) { mkfifo(path.c_str(), 0600); }},
	    {"dangling link",
	     [](const std::string &path, const std::string &dir) {
		     ASSERT_EQ(symlink((dir + "/gone").c_str(), path.c_str()), 0);
	     }},
	};
	for (const Case &tc : cases) {
		SCOPED_TRACE(tc.what);
		std::string path = dir_.file("log.fifo");
		tc.prepare(path, dir_.path());
		opt_logfile = path.c_str();
		opt_fifo = true;
		log_open();
		struct stat st;
		ASSERT_EQ(lstat(path.c_str(), &st), 0);
		EXPECT_TRUE(S_ISFIFO(st.st_mode));
		EXPECT_GT(log_fifo_fd, 0);
		log_close();
		EXPECT_NE(access(path.c_str(), F_OK), 0);
	}
}

// The descriptor limit makes the first or the second open of the FIFO fail;
// either way there is no FIFO sink and no descriptor is left behind.
TEST_F(Logger, FailedFifoOpenLeavesNoSinkAndNoDescriptor)
{
	for (int free_slots = 0; free_slots <= 1; free_slots++) {
		SCOPED_TRACE(free_slots == 0 ? "read open fails" : "write open fails");
		std::string path = dir_.file("log.fifo");
		opt_logfile = path.c_str();
		opt_fifo = true;

		// The limit bounds descriptor numbers: below first_free every
		// slot is taken, so exactly free_slots opens can succeed.
		int first_free = lowest_free_fd();
		struct rlimit saved;
		ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
		struct rlimit limited = saved;
		limited.rlim_cur = static_cast<rlim_t>(first_free + free_slots);
		ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
		log_open();
		setrlimit(RLIMIT_NOFILE, &saved);

		EXPECT_EQ(log_fifo_fd, 0);
		EXPECT_EQ(log_stream, nullptr);
		EXPECT_EQ(lowest_free_fd(), first_free);
		log_close();
		// No sink, so the path is not ours to remove.
		struct stat st;
		EXPECT_EQ(stat(path.c_str(), &st), 0);
		unlink(path.c_str());
	}
}

} // namespace
