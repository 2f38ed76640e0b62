#include "src/cntlr.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

#include "src/bus.h"
#include "src/log.h"
#include "src/main.h"
#include "src/mtrace.h"

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

// The one controller of the process. It is never released; holding it here
// keeps it (and all it owns) reachable until exit.
static struct cntlr *cntlr_self;

int start_controller(void)
{
	struct cntlr *c;

	sleep(2);
	set_signal_handler(SIGPIPE, SIG_IGN);

	c = static_cast<struct cntlr *>(MTRACE_CALLOC(1, sizeof(struct cntlr)));
	if (!c)
		return -1;
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Starting air_coord... (&cntlr = %p)\n"), (void *)c);

	uloop_init();
	c->ctx = ubus_connect(opt_ubus_socket);
	if (!c->ctx) {
		log_message(LOG_LEVEL_CRITICAL, ERROR_MSG("Failed to connect to ubus\n"));
		MTRACE_FREE(c);
		return -1;
	}

	cntlr_self = c;
	cntlr_init(c);
	ubus_add_uloop(c->ctx);

	// Everything up to the loop is synchronous: no timer and no bus event
	// is handled before uloop_run.
	cntlr_discover(c);
	cntlr_survey(c);
	cntlr_register_handlers(c);
	cntlr_start_timers(c);
	cntlr_ubus_add(c);

	uloop_run();

	cntlr_ubus_remove(c);
	// Only topo_ev is dropped by name; ubus_free closes the connection and
	// with it every registration still held (meshlink_ev, the nodes').
	ubus_unregister_event_handler(c->ctx, &c->topo_ev);
	cntlr_health_stop(c);
	ubus_free(c->ctx);
	uloop_done();
	return 0;
}
