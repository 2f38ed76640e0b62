#include "src/main.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/test_util.h"
#include "tests/core/stderr_capture.h"

namespace
{

// The settings are process-wide: every case parses from the defaults and
// leaves them as it found them.
class Options : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		saved_ = {opt_daemonize, opt_verbosity, opt_syslog,      opt_logfile,
		          opt_fifo,      opt_mtrace,    opt_ubus_socket, opt_pidfile};
		reset();
	}
	void TearDown() override
	{
		opt_daemonize = saved_.daemonize;
		opt_verbosity = saved_.verbosity;
		opt_syslog = saved_.syslog;
		opt_logfile = saved_.logfile;
		opt_fifo = saved_.fifo;
		opt_mtrace = saved_.mtrace;
		opt_ubus_socket = saved_.socket;
		opt_pidfile = saved_.pidfile;
		optind = 0;
	}
	static void reset()
	{
		opt_daemonize = true;
		opt_verbosity = 2;
		opt_syslog = false;
		opt_logfile = nullptr;
		opt_fifo = false;
		opt_mtrace = 0;
		opt_ubus_socket = nullptr;
		opt_pidfile = "/var/run/aircoord.pid";
	}

	// Parses `args` after a program name; returns getopt's diagnostics.
	std::string parse(std::vector<std::string> &args)
	{
		std::vector<char *> argv;
		static char prog[] = "aircoord";
		argv.push_back(prog);
		for (std::string &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		optind = 0; // glibc: start over, cluster state included
		StderrCapture err(dir_.file("stderr"));
		parse_options(static_cast<int>(argv.size() - 1), argv.data());
		return err.finish();
	}

	struct Saved {
		bool daemonize;
		int verbosity;
		bool syslog;
		const char *logfile;
		bool fifo;
		int mtrace;
		const char *socket;
		const char *pidfile;
	} saved_;
	testutil::TempDir dir_;
};

std::string str(const char *s)
{
	return s ? s : "(none)";
}

TEST_F(Options, CommandLinesAndTheSettingsTheyGive)
{
	struct Case {
		std::vector<std::string> args;
		bool daemonize;
		int verbosity;
		bool syslog;
		const char *logfile;
		bool fifo;
		int mtrace;
		const char *socket;
		const char *pidfile;
		const char *diagnostic; // expected in getopt's output; null: silent
	};
	const char *def_pid = "/var/run/aircoord.pid";
	// clang-format off
	const Case cases[] = {
		{{}, true, 2, true, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-d"}, false, 2, false, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-o", "/x.log"}, true, 2, false, "/x.log", false, 0, nullptr, def_pid, nullptr},
		{{"-d", "-l"}, false, 2, true, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-v", "-v"}, true, 4, true, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-v", "-v", "-v"}, true, 5, true, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-dvvv"}, false, 5, false, nullptr, false, 0, nullptr, def_pid, nullptr},
		{{"-d", "-m", "-f", "-s", "/s", "-o", "/f", "-p", "/p"},
		 false, 2, false, "/f", true, 1, "/s", "/p", nullptr},
		{{"-s/s", "-p/p"}, true, 2, true, nullptr, false, 0, "/s", "/p", nullptr},
		// The first word that is not an option ends parsing.
		{{"-d", "extra", "-v", "-h"}, false, 2, false, nullptr, false, 0, nullptr, def_pid,
		 nullptr},
		{{"-x", "-d"}, false, 2, false, nullptr, false, 0, nullptr, def_pid,
		 "invalid option -- 'x'"},
		{{"-d", "-s"}, false, 2, false, nullptr, false, 0, nullptr, def_pid,
		 "option requires an argument -- 's'"},
	};
	// clang-format on
	for (Case tc : cases) {
		std::string joined;
		for (const std::string &a : tc.args)
			joined += a + " ";
		SCOPED_TRACE(joined);
		reset();
		std::string diag = parse(tc.args);
		EXPECT_EQ(opt_daemonize, tc.daemonize);
		EXPECT_EQ(opt_verbosity, tc.verbosity);
		EXPECT_EQ(opt_syslog, tc.syslog);
		EXPECT_EQ(str(opt_logfile), str(tc.logfile));
		EXPECT_EQ(opt_fifo, tc.fifo);
		EXPECT_EQ(opt_mtrace, tc.mtrace);
		EXPECT_EQ(str(opt_ubus_socket), str(tc.socket));
		EXPECT_EQ(str(opt_pidfile), str(tc.pidfile));
		if (tc.diagnostic)
			EXPECT_NE(diag.find(tc.diagnostic), std::string::npos) << diag;
		else
			EXPECT_EQ(diag, "");
	}
}

TEST(SignalHelper, InstallsTheHandlerOrSaysWhichSignalItCouldNot)
{
	struct sigaction old;
	ASSERT_EQ(sigaction(SIGUSR2, nullptr, &old), 0);
	EXPECT_EQ(set_signal_handler(SIGUSR2, SIG_IGN), 0);
	struct sigaction now;
	ASSERT_EQ(sigaction(SIGUSR2, nullptr, &now), 0);
	EXPECT_EQ(now.sa_handler, SIG_IGN);
	sigaction(SIGUSR2, &old, nullptr);

	testutil::TempDir dir;
	for (int sig : {SIGKILL, SIGSTOP, 0, 1000}) {
		SCOPED_TRACE(sig);
		StderrCapture err(dir.file("stderr"));
		EXPECT_EQ(set_signal_handler(sig, SIG_IGN), -1);
		EXPECT_EQ(err.finish(), "Error sigaction " + std::to_string(sig) + "\n");
	}
}

// The daemon binary itself, always with its pid file, log and bus socket in
// a private directory. A run that reaches the controller takes its 2 s
// start-up wait, so these runs are few.
class Process : public ::testing::Test
{
      protected:
	struct Result {
		int status = -1; // exit status; -1 when killed by a signal
		pid_t pid = -1;
		std::string err;
	};

	Result run(std::vector<std::string> args, bool close_stdin = false)
	{
		testutil::Command cmd(AIRCOORD_BIN, args);
		std::string err_path = dir_.file("stderr.txt");

		Result r;
		r.pid = fork();
		if (r.pid == 0) {
			int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			dup2(fd, 2);
			int null = open("/dev/null", O_RDWR);
			dup2(null, 1);
			if (close_stdin)
				close(0);
			execvp(cmd.argv()[0], cmd.argv());
			_exit(127);
		}
		int status = 0;
		bool ended =
		    testutil::wait_until([&] { return waitpid(r.pid, &status, WNOHANG) == r.pid; },
		                         std::chrono::seconds(30));
		if (!ended) {
			kill(r.pid, SIGKILL);
			waitpid(r.pid, &status, 0);
			ADD_FAILURE() << "aircoord did not end";
		}
		r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
		r.err = testutil::read_file(err_path);
		return r;
	}

	static void write_file(const std::string &path, const std::string &text)
	{
		FILE *f = fopen(path.c_str(), "w");
		fputs(text.c_str(), f);
		fclose(f);
	}

	// With nothing listening on the socket, the controller gives up
	// with this line; until it does, nothing at all.
	static bool empty_or_bus_failure(const std::string &log)
	{
		return log.empty() || log == "\x1b[0;31mFailed to connect to ubus\n\x1b[0m";
	}

	testutil::TempDir dir_;
	std::string pidfile_ = dir_.file("aircoord.pid");
	std::string socket_ = dir_.file("nobody.sock");
};

TEST_F(Process, HelpAfterOtherOptionsPrintsTheUsageAndStartsNothing)
{
	Result r = run({"-d", "-p", pidfile_, "-h", "-s", socket_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err,
	          std::string("Usage: ") + AIRCOORD_BIN +
	              " [options]\n"
	              "\n"
	              "options:\n"
	              "   -s <socket path>     ubus socket\n"
	              "   -v,                  debug verbosity; more 'v's mean more verbose\n"
	              "   -l,                  log to syslog\n"
	              "   -d,                  debug mode; i.e. don't daemonize\n"
	              "   -m,                  in debug mode trace alloc/free calls\n"
	              "   -p <pidfile>         pid file path\n"
	              "   -o <file>,           log to file\n"
	              "   -f,                  treat above file as fifo\n"
	              "   -c <file>            settings file; re-read on SIGHUP\n"
	              "\n");
	EXPECT_NE(access(pidfile_.c_str(), F_OK), 0);
}

TEST_F(Process, PidFileThatCannotBeLockedEndsTheProcess)
{
	// Held by this process, as a running first instance would hold it.
	write_file(pidfile_, "4242\n");
	int held = open(pidfile_.c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_GE(held, 0);
	ASSERT_EQ(lockf(held, F_TLOCK, 0), 0);

	const std::string unreachable = dir_.file("no/such/dir/aircoord.pid");
	for (const std::string &path : {pidfile_, unreachable}) {
		SCOPED_TRACE(path);
		Result r = run({"-d", "-p", path, "-s", socket_});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.err, "File '" + path + "' exists. Aborting...\n");
	}
	EXPECT_EQ(testutil::read_file(pidfile_), "4242\n");
	close(held);
}

TEST_F(Process, ForegroundRunWritesItsPidAndCarriesOnAfterABadOption)
{
	std::string log = dir_.file("aircoord.log");
	write_file(log, "left over\n");
	Result r = run({"-d", "-x", "-p", pidfile_, "-o", log, "-s", socket_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, std::string(AIRCOORD_BIN) + ": invalid option -- 'x'\n");
	EXPECT_EQ(testutil::read_file(pidfile_), std::to_string(r.pid) + "\n");
	struct stat st;
	ASSERT_EQ(stat(pidfile_.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	std::string logged = testutil::read_file(log);
	EXPECT_TRUE(empty_or_bus_failure(logged)) << logged;
}

// Only possible when stdin was closed at start: descriptor 0 is a pid file
// like any other.
TEST_F(Process, PidFileOnDescriptorZeroIsLockedAndWritten)
{
	write_file(pidfile_, "a much longer stale content\n");
	Result r = run({"-d", "-p", pidfile_, "-s", socket_}, true);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(testutil::read_file(pidfile_), std::to_string(r.pid) + "\n");
	EXPECT_TRUE(empty_or_bus_failure(r.err)) << r.err;
}

TEST_F(Process, DaemonWritesThePidOfTheBackgroundProcess)
{
	std::string log = dir_.file("aircoord.log");
	Result r = run({"-o", log, "-p", pidfile_, "-s", socket_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");

	std::string pid_text;
	ASSERT_TRUE(testutil::wait_until([&] {
		pid_text = testutil::read_file(pidfile_);
		return !pid_text.empty() && pid_text.back() == '\n';
	}));
	long bg = std::stol(pid_text);
	EXPECT_NE(bg, r.pid);
	EXPECT_EQ(pid_text, std::to_string(bg) + "\n");

	// The lock goes with the background process: once it is free, the
	// daemon has ended and its log is complete.
	int fd = open(pidfile_.c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	bool released = testutil::wait_until([&] { return lockf(fd, F_TEST, 0) == 0; },
	                                     std::chrono::seconds(30));
	close(fd);
	if (!released) {
		kill(static_cast<pid_t>(bg), SIGKILL);
		FAIL() << "background aircoord did not end";
	}
	std::string logged = testutil::read_file(log);
	EXPECT_TRUE(empty_or_bus_failure(logged)) << logged;
}

TEST(Executable, ExportsTheLoggerAndTheCodecUnderTheirOwnNames)
{
	std::string cmd = std::string("nm -D --defined-only '") + AIRCOORD_BIN + "'";
	FILE *p = popen(cmd.c_str(), "r");
	ASSERT_NE(p, nullptr);
	std::set<std::string> text_symbols;
	std::string all;
	char line[512];
	while (fgets(line, sizeof(line), p)) {
		all += line;
		std::istringstream in(line);
		std::string addr, type, name;
		if (in >> addr >> type >> name && (type == "T" || type == "t"))
			text_symbols.insert(name);
	}
	ASSERT_EQ(pclose(p), 0);
	for (const char *name : {"log_message", "strtob", "hwaddr_aton", "hwaddr_ntoa"})
		EXPECT_TRUE(text_symbols.count(name)) << name << " not exported";
	// The rest of the codec stays internal.
	for (const char *name : {"btostr", "hex_pair_value", "hwaddr_is_zero", "log_open"})
		EXPECT_EQ(all.find(name), std::string::npos) << name << " exported";
}

} // namespace
