#include "src/main.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "src/cntlr.h"
#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

bool opt_daemonize = true;
int opt_verbosity = 2;
bool opt_syslog;
const char *opt_logfile;
bool opt_fifo;
int opt_mtrace;
const char *opt_ubus_socket;
const char *opt_pidfile = "/var/run/aircoord.pid";
const char *opt_settings_file;
const char *syslog_ident = "loomwave";

void usage(const char *prog)
{
	fprintf(stderr, "Usage: %s [options]\n", prog);
	fprintf(stderr, "\n");
	fprintf(stderr, "options:\n");
	fprintf(stderr, "   -s <socket path>     ubus socket\n");
	fprintf(stderr, "   -v,                  debug verbosity; more 'v's mean more verbose\n");
	fprintf(stderr, "   -l,                  log to syslog\n");
	fprintf(stderr, "   -d,                  debug mode; i.e. don't daemonize\n");
	fprintf(stderr, "   -m,                  in debug mode trace alloc/free calls\n");
	fprintf(stderr, "   -p <pidfile>         pid file path\n");
	fprintf(stderr, "   -o <file>,           log to file\n");
	fprintf(stderr, "   -f,                  treat above file as fifo\n");
	fprintf(stderr, "   -c <file>            settings file; re-read on SIGHUP\n");
	fprintf(stderr, "\n");
}

void parse_options(int argc, char **argv)
{
	// The leading '+' keeps glibc from permuting: parsing stops at the
	// first word that is not an option, as POSIX getopt does.
	static const char optstring[] = "+"
	                                "hlfdvms:o:p:c:";
	int ch;

	while ((ch = getopt(argc, argv, optstring)) != -1) {
		switch (ch) {
		case 'h':
			usage(argv[0]);
			exit(0);
		case 'l':
			opt_syslog = true;
			break;
		case 'f':
			opt_fifo = true;
			break;
		case 'd':
			opt_daemonize = false;
			break;
		case 'v':
			opt_verbosity++;
			break;
		case 'm':
			opt_mtrace = 1;
			break;
		case 's':
			opt_ubus_socket = optarg;
			break;
		case 'o':
			opt_logfile = optarg;
			break;
		case 'p':
			opt_pidfile = optarg;
			break;
		case 'c':
			opt_settings_file = optarg;
			break;
		default:
			// getopt has already said what was wrong.
			break;
		}
	}

	// A daemon without a log file would otherwise log nowhere.
	if (opt_daemonize && !opt_logfile)
		opt_syslog = true;
}

void start_daemon(void)
{
	if (opt_daemonize) {
		log_message(LOG_LEVEL_INFO, INFO_MSG("daemonizing ...\n"));
		if (daemon(0, 0) != 0) {
			// Not fatal: the foreground process carries on.
		}
	}

	// Taken after daemon() so the lock belongs to, and the pid names, the
	// process that keeps running. The descriptor is never closed: closing
	// it would drop the lock.
	int fd = open(opt_pidfile, O_RDWR | O_CREAT, 0600);
	if (fd >= 0) {
		int flags = fcntl(fd, F_GETFD);
		if (flags >= 0)
			fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
	}
	// Descriptor 0 is a valid one (stdin was closed at start).
	if (fd < 0 || lockf(fd, F_TLOCK, 0) < 0) {
		fprintf(stderr, "File '%s' exists. Aborting...\n", opt_pidfile);
		exit(-1);
	}

	char buf[128];
	if (ftruncate(fd, 0) != 0) {
		// A pid file we cannot rewrite does not stop the daemon.
	}
	int n = snprintf(buf, sizeof(buf), "%ld\n", static_cast<long>(getpid()));
	if (n > 0 && write(fd, buf, static_cast<size_t>(n)) < 0) {
		// Same as above.
	}
}

int set_signal_handler(int sig, void (*handler)(int))
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0;
	if (sigaction(sig, &sa, nullptr) < 0) {
		fprintf(stderr, "Error sigaction %d\n", sig);
		return -1;
	}
	return 0;
}

#ifndef AIRCOORD_NO_MAIN
// The exported entry points are linked in even when no part of the daemon
// calls them; the linker's dynamic list alone does not pull them from the
// library.
__attribute__((used)) static void *const exported_entry_points[] = {
    reinterpret_cast<void *>(&log_message),
    reinterpret_cast<void *>(&strtob),
    reinterpret_cast<void *>(&hwaddr_aton),
    reinterpret_cast<void *>(&hwaddr_ntoa),
};

int main(int argc, char **argv)
{
	parse_options(argc, argv);
	start_daemon();
	log_open();
	mtrace_init("aircoord");
	// Returns when the event loop ends; a failed start has been logged.
	start_controller();
	log_close();
	mtrace_exit();
	return 0;
}
#endif
