// The settings file: the JSON object set_config takes, which the init script
// writes from the router's configuration. Read at start-up, before the
// first command goes out, and again on SIGHUP, so that a controller that
// procd respawned runs with the router's settings too.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_config.h"
#include "src/cntlr_settings.h"
#include "src/log.h"
#include "src/main.h"

// Far more than every setting takes: what is larger is no settings file.
#define SETTINGS_MAX 4096

// Reads the settings file at `path` into `out`, starting from the defaults:
// 0 when it holds a valid set, 1 when there is no such file, -1 when it
// cannot be read, is no JSON object or holds a setting set_config would
// refuse (`why` says which). `out` holds the defaults unless 0 is returned.
static int cntlr_settings_read(const char *path, struct cntlr_config *out, char *why,
			       int why_len)
{
	struct cntlr_config defaults;
	struct blob_buf b = {};
	char text[SETTINGS_MAX + 1];
	int fd, n = 0, r = 0, ret;

	cntlr_config_defaults(&defaults);
	*out = defaults;
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT)
		return 1;
	if (fd < 0) {
		snprintf(why, why_len, "%s", strerror(errno));
		return -1;
	}
	while (n <= SETTINGS_MAX && (r = (int)read(fd, text + n, SETTINGS_MAX + 1 - n)) > 0)
		n += r;
	if (r < 0)
		snprintf(why, why_len, "%s", strerror(errno));
	close(fd);
	if (r < 0)
		return -1;
	if (n > SETTINGS_MAX) {
		snprintf(why, why_len, "larger than %d bytes", SETTINGS_MAX);
		return -1;
	}
	text[n] = '\0';
	blob_buf_init(&b, 0);
	// A NUL would end the text early: what follows it would go unread.
	if (memchr(text, '\0', n) || !blobmsg_add_json_from_string(&b, text)) {
		snprintf(why, why_len, "not a JSON object");
		ret = -1;
	} else {
		ret = cntlr_config_parse(&defaults, b.head, out, why, why_len) == UBUS_STATUS_OK ? 0 : -1;
	}
	blob_buf_free(&b);
	return ret;
}

// The file as the configuration: at start-up it is simply taken, later
// applied as set_config applies one. A bad file leaves the defaults at
// start-up and the configuration in effect afterwards.
static void cntlr_settings_load(struct cntlr *c, bool at_start)
{
	struct cntlr_config next;
	char why[CNTLR_WHY_LEN];
	int ret = cntlr_settings_read(opt_settings_file, &next, why, sizeof(why));

	if (ret < 0 && at_start) {
		log_message(LOG_LEVEL_ERROR,
			    ERROR_MSG("settings file '%s': %s; built-in defaults in effect\n"),
			    opt_settings_file, why);
	} else if (ret < 0) {
		log_message(LOG_LEVEL_ERROR,
			    ERROR_MSG("settings file '%s': %s; configuration unchanged\n"),
			    opt_settings_file, why);
		return;
	} else if (ret > 0) {
		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("settings file '%s' not found: built-in defaults in effect\n"),
			    opt_settings_file);
	} else {
		log_message(LOG_LEVEL_INFO, INFO_MSG("settings file '%s': new configuration in effect\n"),
			    opt_settings_file);
	}
	if (at_start)
		c->cfg = next;
	else
		cntlr_config_apply(c, &next);
}

// SIGHUP: the handler only notes it; the file is read from the loop, where
// commands may go out.
static int cntlr_reload_pipe[2] = {-1, -1};
static struct uloop_fd cntlr_reload_fd;
static struct cntlr *cntlr_reload_cntlr;

void cntlr_on_reload_signal(int)
{
	int saved = errno;

	if (cntlr_reload_pipe[1] >= 0 && write(cntlr_reload_pipe[1], "", 1) < 0) {
		// A full pipe already holds a reload.
	}
	errno = saved;
}

static void cntlr_reload_fd_cb(struct uloop_fd *u, unsigned int)
{
	char buf[16];

	while (read(u->fd, buf, sizeof(buf)) > 0)
		;
	if (cntlr_stopping())
		return;
	if (!opt_settings_file) {
		log_message(LOG_LEVEL_INFO, INFO_MSG("SIGHUP: no settings file to read\n"));
		return;
	}
	cntlr_settings_load(cntlr_reload_cntlr, false);
}

void cntlr_settings_start(struct cntlr *c)
{
	if (pipe2(cntlr_reload_pipe, O_NONBLOCK | O_CLOEXEC) == 0) {
		cntlr_reload_cntlr = c;
		cntlr_reload_fd.fd = cntlr_reload_pipe[0];
		cntlr_reload_fd.cb = cntlr_reload_fd_cb;
		uloop_fd_add(&cntlr_reload_fd, ULOOP_READ);
	} else {
		cntlr_reload_pipe[0] = cntlr_reload_pipe[1] = -1;
	}
	// A SIGHUP before this point is answered by this very read.
	if (opt_settings_file)
		cntlr_settings_load(c, true);
}

void cntlr_settings_stop(void)
{
	int rd = cntlr_reload_pipe[0], wr = cntlr_reload_pipe[1];

	if (rd < 0)
		return;
	uloop_fd_delete(&cntlr_reload_fd);
	cntlr_reload_pipe[0] = cntlr_reload_pipe[1] = -1;
	close(wr);
	close(rd);
	cntlr_reload_cntlr = nullptr;
}
