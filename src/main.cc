// Placeholder: replaced by the real implementation.
#include "src/main.h"
#include "src/cntlr.h"

bool opt_daemonize = true;
int opt_verbosity = 2;
bool opt_syslog;
const char *opt_logfile;
bool opt_fifo;
int opt_mtrace;
const char *opt_ubus_socket;
const char *opt_pidfile = "/var/run/aircoord.pid";
const char *syslog_ident = "loomwave";

int set_signal_handler(int, void (*)(int)) { return 0; }

#ifndef AIRCOORD_NO_MAIN
int main(int, char **) { return start_controller(); }
#endif
