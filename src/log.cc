#include "src/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <ctime>

#include "src/main.h"

FILE *log_stream;
int log_fifo_fd;

// Levels 4 and 5 (command trace, verbose) are debug output as well; the
// last entry serves every level above the table.
static const int syslog_priority[] = {LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG};
static constexpr int syslog_priority_count = sizeof(syslog_priority) / sizeof(syslog_priority[0]);

int log_syslog_priority(int level)
{
	if (level < 0)
		return -1;
	if (level >= syslog_priority_count)
		return syslog_priority[syslog_priority_count - 1];
	return syslog_priority[level];
}

static void log_fifo_open(const char *path)
{
	struct stat st;

	// Clears a left-over entry stat cannot follow, e.g. a dangling link;
	// anything stat can see is left alone.
	if (stat(path, &st) != 0)
		unlink(path);
	mkfifo(path, 0600);
	if (stat(path, &st) != 0 || (st.st_mode & S_IFMT) != S_IFIFO)
		return;

	// The read end lets the non-blocking write open succeed without a
	// reader attached; it is dropped right after.
	int rfd = open(path, O_RDONLY | O_NONBLOCK);
	if (rfd < 0)
		return;
	int wfd = open(path, O_WRONLY | O_NONBLOCK);
	close(rfd);
	// 0 means "no FIFO sink" to the rest of the logger. The write end can
	// only get 0 if the read end did not, so a valid one is never 0.
	if (wfd > 0)
		log_fifo_fd = wfd;
	else if (wfd == 0)
		close(wfd);
}

void log_open(void)
{
	if (opt_syslog)
		openlog(syslog_ident, 0, LOG_DAEMON);
	if (log_stream)
		return;
	if (!opt_logfile) {
		log_stream = stderr;
		return;
	}
	if (opt_fifo) {
		log_fifo_open(opt_logfile);
		return;
	}
	log_stream = fopen(opt_logfile, "w+");
}

void log_close(void)
{
	if (opt_syslog)
		closelog();
	if (log_stream) {
		fclose(log_stream);
		log_stream = nullptr;
	}
	if (log_fifo_fd != 0) {
		close(log_fifo_fd);
		log_fifo_fd = 0;
		unlink(opt_logfile);
	}
}

static void log_fifo_timestamp(int fd)
{
	time_t now = time(nullptr);
	struct tm tm;

	if (!localtime_r(&now, &tm))
		return;
	dprintf(fd, "[%d-%02d-%02d %02d:%02d:%02d] ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
	        tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool log_wanted(int level)
{
	return opt_verbosity >= level || (opt_fifo && log_fifo_fd != 0);
}

// Each sink consumes its own copy of the argument list: a va_list cannot be
// walked twice. The FIFO descriptor is non-blocking, so a missing or slow
// reader loses the message instead of stalling the loop.
extern "C" void log_message(int level, const char *fmt, ...)
{
	va_list ap;
	va_list aq;

	va_start(ap, fmt);
	if (opt_verbosity >= level) {
		if (level >= 0 && opt_syslog) {
			va_copy(aq, ap);
			vsyslog(log_syslog_priority(level), fmt, aq);
			va_end(aq);
		}
		if (log_stream) {
			va_copy(aq, ap);
			vfprintf(log_stream, fmt, aq);
			va_end(aq);
		}
		if (opt_fifo && log_fifo_fd != 0) {
			va_copy(aq, ap);
			vdprintf(log_fifo_fd, fmt, aq);
			va_end(aq);
		}
	} else if (opt_fifo && log_fifo_fd != 0) {
		log_fifo_timestamp(log_fifo_fd);
		va_copy(aq, ap);
		vdprintf(log_fifo_fd, fmt, aq);
		va_end(aq);
	}
	va_end(ap);
}
