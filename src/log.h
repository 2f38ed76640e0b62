// Logging: one printf-style entry point writing to syslog, a stdio stream
// (stderr or a log file) and a named pipe, as the command line chose.
//
// Every message carries its colour wrapping in the format text itself; the
// macros below write the wrappings so that each call site keeps its text
// literal and greppable:
//   log_message(LOG_LEVEL_ERROR, ERROR_MSG("OOM: node malloc failed!\n"));
#pragma once

#include <cstdio>

#define LOG_COLOR_RED "\033[0;31m"
#define LOG_COLOR_GREEN "\033[0;32m"
#define LOG_COLOR_YELLOW "\033[0;33m"
#define LOG_COLOR_BLUE "\033[0;34m"
#define LOG_COLOR_RESET "\033[0m"

// error: red text
#define ERROR_MSG(s) LOG_COLOR_RED s LOG_COLOR_RESET
// error with the red sequence doubled at its start (two messages use it)
#define ERROR2_MSG(s) LOG_COLOR_RED LOG_COLOR_RED s LOG_COLOR_RESET
// info: blue text
#define INFO_MSG(s) LOG_COLOR_BLUE s LOG_COLOR_RESET
// trace: a green "CNTLR: " tag, then the text
#define TRACE_MSG(s) LOG_COLOR_RESET LOG_COLOR_GREEN "CNTLR: " LOG_COLOR_RESET s LOG_COLOR_RESET
// plain: reset around the text
#define PLAIN_MSG(s) LOG_COLOR_RESET s LOG_COLOR_RESET
// command: yellow "CNTLR: " and text
#define CMD_MSG(s) LOG_COLOR_YELLOW "CNTLR: " s LOG_COLOR_RESET

enum log_level {
	LOG_LEVEL_CRITICAL = 0,
	LOG_LEVEL_ERROR = 1,
	LOG_LEVEL_INFO = 2,
	LOG_LEVEL_TRACE = 3,
	LOG_LEVEL_CMD = 4,
	LOG_LEVEL_VERBOSE = 5,
};

// The stream sink (stderr, a log file, or null) and the FIFO's write
// descriptor (0: none). Tests may point log_stream at a file of their own.
extern FILE *log_stream;
extern int log_fifo_fd;

// Opens the sinks the opt_* settings ask for; a log_stream already set is
// kept. A FIFO sink is created at opt_logfile with -f.
void log_open(void);
// Closes the sinks (log_stream too, even when it is stderr) and removes the
// FIFO; log_stream and log_fifo_fd read null and 0 afterwards.
void log_close(void);

// The syslog priority of a level: LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG
// for 0..3, LOG_DEBUG above; -1 for a negative level, which never goes to
// syslog.
int log_syslog_priority(int level);

// True when a message of `level` would reach some sink (the FIFO takes
// every level): callers skip building long series of messages otherwise.
bool log_wanted(int level);

// Writes a message of `level` (enum log_level) to syslog and the stream when
// the level is within opt_verbosity, and always to the FIFO (time-prefixed
// when above it). Never blocks on the FIFO. Exported from the executable
// (aircoord.dynlist).
extern "C" __attribute__((visibility("default"))) void log_message(int level, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
