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
extern const char *syslog_ident;

// Installs `handler` (or SIG_IGN/SIG_DFL) for `sig`; 0, or -1 after
// "Error sigaction %d\n" on stderr.
int set_signal_handler(int sig, void (*handler)(int));
