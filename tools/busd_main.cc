// aircoord-busd: the bus broker.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "bus/busd.h"
#include "bus/ubus.h"
#include "bus/uloop.h"

static void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>]\n"
		"Options:\n"
		"  -s <socket>:\t\tSet the unix domain socket to listen on\n"
		"\n",
		prog);
}

int main(int argc, char **argv)
{
	const char *path = UBUS_DEFAULT_SOCKET;
	int ch;

	while ((ch = getopt(argc, argv, "s:A:")) != -1) {
		switch (ch) {
		case 's':
			path = optarg;
			break;
		case 'A':
			// Access lists are not supported: every client is allowed.
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}

	// The default socket's directory may not exist yet on a fresh boot.
	mkdir("/var/run/ubus", 0755);

	if (uloop_init() < 0) {
		perror("uloop_init");
		return 1;
	}
	struct busd *d = busd_start(path);
	if (!d) {
		perror("socket");
		uloop_done();
		return 1;
	}
	uloop_run();
	busd_stop(d);
	uloop_done();
	return 0;
}
