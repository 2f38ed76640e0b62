// Process-wide settings from the command line, read-only after start-up,
// and the process helpers of main.cc.
#pragma once

#include <csignal>

extern bool opt_daemonize;
extern int opt_verbosity;
extern bool opt_syslog;
extern const char *opt_logfile;
extern bool opt_fifo;
extern int opt_mtrace;
extern const char *opt_ubus_socket;
extern const char *opt_pidfile;
extern const char *opt_settings_file; // -c: read by the controller (cntlr_settings.cc)
extern const char *syslog_ident;

// Writes the usage text to stderr; `prog` is argv[0].
void usage(const char *prog);
// Reads the command line into the opt_* settings with getopt (the caller
// resets optind to parse a second time), then switches syslog on for a
// daemon without a log file. -h writes the usage text and exits with 0;
// parsing stops at the first word that is not an option. Text settings
// point into argv.
void parse_options(int argc, char **argv);
// Daemonizes unless -d, then creates, locks and writes the pid file, whose
// descriptor stays open (and locked) for the life of the process. A lock
// that cannot be taken ends the process with status 255.
void start_daemon(void);

// Installs `handler` (or SIG_IGN/SIG_DFL) for `sig`; 0, or -1 after
// "Error sigaction %d\n" on stderr.
int set_signal_handler(int sig, void (*handler)(int));
