// Agent health (cntlr_health.cc): a command that times out is followed by a
// probe, and a node that misses that too is unresponsive until it answers a
// re-probe from the loop. The node owns its re-probe request and timer.
#pragma once

#include "src/cntlr.h"

// Nonzero, with a trace line, when `n` is unresponsive: the caller fails
// its call with UBUS_STATUS_TIMEOUT instead of sending it. `what` names the
// call ("GET_BSS_INFO", "disconnect_sta").
int node_health_skip(struct node *n, const char *what);
// After `what` to `n` timed out: probes the node at once (GET_BSS_INFO, whose
// reply refreshes its BSS list, waited for CNTLR_PROBE_TIMEOUT_MS). When the
// probe goes unanswered too, the node becomes unresponsive (one error line)
// and its re-probe timer is armed.
void node_health_timed_out(struct node *n, const char *what);
// The same for the node whose agent object is `agent_id`; no node, nothing.
int cntlr_health_skip(struct cntlr *c, uint32_t agent_id, const char *what);
void cntlr_health_timed_out(struct cntlr *c, uint32_t agent_id, const char *what);
// Re-probes an unresponsive node without waiting: sends GET_BSS_INFO and
// re-arms itself for CNTLR_PROBE_TIMEOUT_MS; if that passes unanswered, the
// probe is aborted and the next one is due CNTLR_REPROBE_MS after it was
// sent. The answer's callbacks only note it and arm the timer for 0 ms: the
// timer then refreshes the BSS list from it, makes the node responsive again
// (one info line) and marks it to be driven again from the loop
// (cntlr_resync_timer). While the bus is lost no probe goes out; one that
// the loss ended is no answer.
void node_probe_timer(struct uloop_timeout *t);
// Aborts the re-probe in flight, disarms the timer and forgets that the
// node was unresponsive: before a node is released, for a node whose agent
// came back under a new id (judged afresh).
void node_health_release(struct node *n);
