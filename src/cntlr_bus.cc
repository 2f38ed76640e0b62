// The bus connection: the cut a stop signal makes, and a connection that
// ends under the daemon.
//
// A broker that goes away (it crashed, or was restarted) takes every
// registration with it, and the boxes' objects come back under new ids. The
// daemon keeps its records (stations, history, settings), connects anew
// from a timer every second until a broker answers, and then joins the bus
// again as at start-up: its object and event handlers, every node's objects
// looked up, every node surveyed. Nothing is sent meanwhile.
//
// A new connection rather than ubus_reconnect: what ubus_connect and
// ubus_free do is the same to the last detail in the router's library and
// in ours, and the daemon puts back what it registered itself, event
// patterns included, which a reconnect would leave to it anyway.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <csignal>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_node.h"
#include "src/cntlr_survey.h"
#include "src/cntlr_ubus.h"
#include "src/log.h"
#include "src/main.h"

// The socket a stop signal shuts down; -1 while there is none.
static volatile sig_atomic_t cntlr_bus_fd = -1;
// The controller whose connection is watched; one per process.
static struct cntlr *cntlr_bus_owner;

void cntlr_bus_cut(void)
{
	int fd = cntlr_bus_fd;

	// Neither library ends a synchronous wait on a signal; both end it
	// on the end of the connection.
	if (fd >= 0)
		shutdown(fd, SHUT_RDWR);
}

static void cntlr_bus_lost(struct ubus_context *ctx)
{
	struct cntlr *c = cntlr_bus_owner;

	// A socket at its end would wake the loop again and again.
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	// The connection cut by a stop signal is no lost broker.
	if (!c || c->ctx != ctx || c->bus_lost || cntlr_stopping())
		return;
	c->bus_lost = 1;
	log_message(LOG_LEVEL_ERROR, ERROR_MSG("Lost the bus connection: reconnecting\n"));
	uloop_timeout_set(&c->bus_timer, 0);
}

void cntlr_bus_attach(struct cntlr *c, struct ubus_context *ctx)
{
	c->ctx = ctx;
	c->bus_timer.cb = cntlr_bus_retry;
	cntlr_bus_owner = c;
	ctx->connection_lost = cntlr_bus_lost;
	ubus_add_uloop(ctx);
	cntlr_bus_fd = ctx->sock.fd;
	// A stop signal taken while there was no socket to cut.
	if (cntlr_stopping())
		cntlr_bus_cut();
}

void cntlr_bus_detach(struct cntlr *c)
{
	cntlr_bus_fd = -1;
	cntlr_bus_owner = nullptr;
	uloop_timeout_cancel(&c->bus_timer);
}

bool cntlr_bus_down(struct cntlr *c)
{
	return c->bus_lost;
}

// What the old connection held went with it: the object and the event
// handlers are added anew (id 0), the re-probes in flight are dropped.
static void cntlr_bus_forget(struct cntlr *c)
{
	struct node *n;

	c->obj.id = 0;
	c->topo_ev.obj.id = 0;
	c->meshlink_ev.obj.id = 0;
	list_for_each_entry(n, &c->nodelist, list) {
		n->event_handler.obj.id = 0;
		if (n->probing)
			ubus_abort_request(c->ctx, &n->probe_req);
		n->probing = 0;
	}
}

static void cntlr_bus_rejoin(struct cntlr *c)
{
	char prefix[INET_ADDRSTRLEN];
	struct node *n;
	uint32_t id;

	// The topology daemon's object is back under a new id too; the mode
	// chosen at start-up holds.
	if (c->topology_id != (uint32_t)-1 && ubus_lookup_id(c->ctx, "topology", &id) == 0)
		c->topology_id = id;
	cntlr_ubus_add(c);
	cntlr_register_handlers(c);
	list_for_each_entry(n, &c->nodelist, list) {
		node_prefix(n, prefix);
		node_lookup_objects(n, prefix);
		node_register_events(n, prefix);
		n->unsurveyed = 1;
	}
	// An agent not back yet is surveyed once a rescan finds it.
	list_for_each_entry(n, &c->nodelist, list) {
		if (cntlr_stopping() || cntlr_bus_down(c))
			break;
		if (n->agent_id == (uint32_t)-1)
			continue;
		n->unsurveyed = 0;
		cntlr_survey_node(c, n);
	}
}

void cntlr_bus_retry(struct uloop_timeout *t)
{
	struct cntlr *c = container_of(t, struct cntlr, bus_timer);
	struct ubus_context *ctx;

	if (cntlr_stopping())
		return;
	ctx = ubus_connect(opt_ubus_socket);
	if (!ctx) {
		uloop_timeout_set(t, CNTLR_BUS_RETRY_MS);
		return;
	}
	cntlr_bus_forget(c);
	cntlr_bus_fd = -1;
	ubus_free(c->ctx);
	cntlr_bus_attach(c, ctx);
	c->bus_lost = 0;
	log_message(LOG_LEVEL_INFO, INFO_MSG("Back on the bus\n"));
	cntlr_bus_rejoin(c);
}
