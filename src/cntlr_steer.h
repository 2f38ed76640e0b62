// Low-RSSI steering (cntlr_steer.cc): a weak station is steered to a neighbor
// BSS that hears it clearly better; each decision, to steer or not, goes
// into the history.
#pragma once

#include "src/cntlr.h"

int cntlr_handle_sta_rssi_low(struct node *n, const uint8_t *macaddr, int lowrssi);
void node_get_monitor_sta(struct cntlr *c, char *resp, int len, void *priv);
