// The controller's bus connection (cntlr_bus.cc): the cut a stop signal
// makes, and a connection that ends under the daemon, made anew from a timer
// while the daemon keeps its records.
#pragma once

#include "src/cntlr.h"

// A lost bus connection is tried again this often.
#define CNTLR_BUS_RETRY_MS 1000

// Makes `ctx` the controller's connection: in the loop, its loss noticed,
// and its socket the one a stop signal shuts down (cntlr_bus_cut).
void cntlr_bus_attach(struct cntlr *c, struct ubus_context *ctx);
// Before the connection is freed: the stop signal no longer touches it and
// no reconnect is due.
void cntlr_bus_detach(struct cntlr *c);
// From the stop signal's handler (async-signal-safe): shuts the bus socket
// down, which ends a synchronous call that waits on it whichever library
// runs it; the daemon then sees the end of its own connection, not a lost
// broker.
void cntlr_bus_cut(void);
// The connection was lost (one error line) and not yet made again: nothing
// is sent meanwhile, and calls fail at once.
bool cntlr_bus_down(struct cntlr *c);
// bus_timer: connects anew, every CNTLR_BUS_RETRY_MS until a broker
// answers; then puts the aircoord object and the event handlers back, looks
// up every node's objects and surveys each node whose agent is there.
void cntlr_bus_retry(struct uloop_timeout *t);
