// The fronthaul BSS inventory (cntlr_bss.cc): each node's access-point
// interfaces, read with GET_BSS_INFO at start-up and from the node's timer.
#pragma once

#include "src/cntlr.h"

void update_fronthaul_bsslist(struct cntlr *c, char *resp, int len, void *priv);
void node_bssinfo_timer(struct uloop_timeout *t);
struct node *find_node_by_bssid(struct cntlr *c, const uint8_t *bssid);
