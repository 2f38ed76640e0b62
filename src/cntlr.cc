#include "src/cntlr.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "src/bus.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_config.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_node.h"
#include "src/cntlr_resync.h"
#include "src/cntlr_settings.h"
#include "src/cntlr_survey.h"
#include "src/cntlr_ubus.h"
#include "src/cntlr_watch.h"
#include "src/log.h"
#include "src/main.h"
#include "src/mtrace.h"

int64_t cntlr_now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec;
}

void cntlr_init(struct cntlr *c)
{
	c->topo_ev.cb = cntlr_event_handler_local;
	c->lnode = nullptr;
	INIT_LIST_HEAD(&c->nodelist);
	c->meshlink_ev.cb = cntlr_meshlink_event_handler;
	c->topology_id = (uint32_t)-1;
	INIT_LIST_HEAD(&c->watchlist);
	// Both timer callbacks are in place from here on, so a timer armed by
	// any handler before the loop runs always has somewhere to go.
	c->nbr_timer.cb = cntlr_neighbor_timer;
	c->channel_timer.cb = cntlr_channel_timer;
	c->resync_timer.cb = cntlr_resync_timer;
	as_table_attach(&c->as_table);
	cntlr_config_defaults(&c->cfg);
	c->started_at = cntlr_now();
}

void cntlr_discover(struct cntlr *c)
{
	uint32_t id;

	if (ubus_lookup_id(c->ctx, "topology", &id) == 0)
		c->topology_id = id;
	log_message(LOG_LEVEL_INFO, INFO_MSG("topology object: %d\n"), (int)c->topology_id);

	if (c->topology_id != (uint32_t)-1) {
		struct blob_buf b;
		int ret;

		memset(&b, 0, sizeof(b));
		blob_buf_init(&b, 0);
		// No fallback to the bus scan: the mode chosen here holds for the
		// whole run, and the neighbor timer's rescan adds the agents later.
		ret = ubus_invoke(c->ctx, c->topology_id, "tree", b.head, build_topology_tree, c,
				  2000);
		if (ret)
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Failed to get topology tree (ret = %d)\n"), ret);
		blob_buf_free(&b);
	} else {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("meshmapd may not be running!\n"));
		ubus_lookup(c->ctx, nullptr, agent_lookup_cb, c);
	}
}

void cntlr_register_handlers(struct cntlr *c)
{
	if (c->topology_id != (uint32_t)-1) {
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("Setting up event handler for 'topology' events\n"));
		ubus_register_event_handler(c->ctx, &c->topo_ev, "topology.*");
	} else {
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("Setting up MESHLINK event handlers for objects add/remove\n"));
		ubus_register_event_handler(c->ctx, &c->meshlink_ev, "ubus.object.add");
		ubus_register_event_handler(c->ctx, &c->meshlink_ev, "ubus.object.remove");
		ubus_register_event_handler(c->ctx, &c->meshlink_ev, "wifi.sta");
	}
}

void cntlr_start_timers(struct cntlr *c)
{
	uloop_timeout_set(&c->nbr_timer, CNTLR_NBR_FIRST_MS);
}

// SIGINT/SIGTERM. The handler stays in place for the whole run, before the
// loop too (the loop leaves handlers it finds alone): the signal number is
// kept, the loop is told to end, a synchronous bus call waiting in it ends
// with the bus socket shut down, and a byte on the stop pipe wakes a loop
// that is about to wait.
static volatile sig_atomic_t cntlr_stop_signal;
static int cntlr_stop_pipe[2] = {-1, -1};
static struct uloop_fd cntlr_stop_fd;

static void cntlr_on_stop_signal(int sig)
{
	int saved = errno;

	cntlr_stop_signal = sig;
	uloop_end();
	cntlr_bus_cut();
	if (cntlr_stop_pipe[1] >= 0 && write(cntlr_stop_pipe[1], "", 1) < 0) {
		// A full pipe already holds a wake-up.
	}
	errno = saved;
}

bool cntlr_stopping(void)
{
	return cntlr_stop_signal != 0;
}

static void cntlr_stop_fd_cb(struct uloop_fd *u, unsigned int)
{
	char buf[16];

	while (read(u->fd, buf, sizeof(buf)) > 0)
		;
	uloop_end();
}

static void cntlr_stop_watch(void)
{
	if (pipe2(cntlr_stop_pipe, O_NONBLOCK | O_CLOEXEC) < 0) {
		cntlr_stop_pipe[0] = cntlr_stop_pipe[1] = -1;
		return;
	}
	cntlr_stop_fd.fd = cntlr_stop_pipe[0];
	cntlr_stop_fd.cb = cntlr_stop_fd_cb;
	uloop_fd_add(&cntlr_stop_fd, ULOOP_READ);
	// A signal taken before the pipe existed still ends the loop.
	if (cntlr_stopping())
		cntlr_on_stop_signal(cntlr_stop_signal);
}

static void cntlr_stop_unwatch(void)
{
	if (cntlr_stop_pipe[0] < 0)
		return;
	uloop_fd_delete(&cntlr_stop_fd);
	int rd = cntlr_stop_pipe[0], wr = cntlr_stop_pipe[1];
	cntlr_stop_pipe[0] = cntlr_stop_pipe[1] = -1;
	close(wr);
	close(rd);
}

void cntlr_release(struct cntlr *c)
{
	struct watchnode *wn, *wtmp;
	struct node *n, *tmp;

	uloop_timeout_cancel(&c->nbr_timer);
	uloop_timeout_cancel(&c->channel_timer);
	uloop_timeout_cancel(&c->resync_timer);
	list_for_each_entry_safe(wn, wtmp, &c->watchlist, list)
		free_watchnode_cleanup(c, wn);
	// The local node goes first: without it no box's BSSes are withdrawn
	// from anyone on the way out.
	if (c->lnode) {
		n = c->lnode;
		c->lnode = nullptr;
		list_del(&n->list);
		c->num_nodes--;
		free_node_cleanup(c, n);
	}
	list_for_each_entry_safe(n, tmp, &c->nodelist, list) {
		list_del(&n->list);
		c->num_nodes--;
		free_node_cleanup(c, n);
	}
	as_clean_all(c->as_table);
}

int start_controller(void)
{
	struct cntlr *c;

	set_signal_handler(SIGINT, cntlr_on_stop_signal);
	set_signal_handler(SIGTERM, cntlr_on_stop_signal);
	// SIGHUP re-reads the settings file; it must not end the daemon.
	set_signal_handler(SIGHUP, cntlr_on_reload_signal);
	// A stop signal cuts the wait short; a SIGHUP does not.
	for (unsigned int left = 2; left && !cntlr_stopping();)
		left = sleep(left);
	set_signal_handler(SIGPIPE, SIG_IGN);
	if (cntlr_stopping())
		return 0;

	c = static_cast<struct cntlr *>(MTRACE_CALLOC(1, sizeof(struct cntlr)));
	if (!c)
		return -1;
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Starting air_coord... (&cntlr = %p)\n"), (void *)c);

	uloop_init();
	c->ctx = ubus_connect(opt_ubus_socket);
	if (!c->ctx) {
		log_message(LOG_LEVEL_CRITICAL, ERROR_MSG("Failed to connect to ubus\n"));
		MTRACE_FREE(c);
		uloop_done();
		return -1;
	}

	cntlr_init(c);
	cntlr_bus_attach(c, c->ctx);
	cntlr_stop_watch();
	// Before the first command: cmd_timeout and the rest hold from it on.
	cntlr_settings_start(c);

	// Everything up to the loop is synchronous: no timer and no bus event
	// is handled before uloop_run. A stop signal skips what is left.
	if (!cntlr_stopping())
		cntlr_discover(c);
	if (!cntlr_stopping())
		cntlr_survey(c);
	if (!cntlr_stopping()) {
		cntlr_register_handlers(c);
		cntlr_start_timers(c);
		cntlr_ubus_add(c);
		uloop_run();
	}

	cntlr_ubus_remove(c);
	cntlr_release(c);
	// Only topo_ev is dropped by name; ubus_free closes the connection and
	// with it every registration still held (meshlink_ev).
	ubus_unregister_event_handler(c->ctx, &c->topo_ev);
	cntlr_bus_detach(c);
	ubus_free(c->ctx);
	cntlr_stop_unwatch();
	cntlr_settings_stop();
	uloop_done();
	MTRACE_FREE(c);
	return 0;
}
