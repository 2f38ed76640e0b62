// Presence events, the watchlist of vanished boxes and the radar recovery
// of the router's access point (cntlr_watch.cc). Watchnodes are made here
// and released only by free_watchnode_cleanup; a scan result that shows
// radar releases its watchnode inside the command's reply.
#pragma once

#include "src/cntlr.h"

void cntlr_meshlink_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				  const char *type, struct blob_attr *msg);
struct watchnode *alloc_watchnode_init(struct cntlr *c, struct node *n, const char *prefix);
void free_watchnode_cleanup(struct cntlr *c, struct watchnode *wn);
void watchnode_scan_timer(struct uloop_timeout *t);
void watchnode_scanres_timer(struct uloop_timeout *t);
void watchnode_scanres_resp(struct cntlr *c, char *resp, int len, void *priv);
int cmd_set_param(struct cntlr *c, uint32_t agent_id, uint32_t channel);
void cntlr_channel_timer(struct uloop_timeout *t);
// Sends channel_pending to the router's agent. Answered, the radar hold
// starts (a move, arming channel_timer) or is over (a restore); either way
// the history says what happened, a failure only when `first` (the
// change's own attempt; it stays pending for when the agent answers again).
void cntlr_channel_change(struct cntlr *c, bool first);
