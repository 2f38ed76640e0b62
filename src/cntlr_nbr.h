// Neighbor distribution, the steering exclusion list and node release
// (cntlr_nbr.cc).
#pragma once

#include "src/cntlr.h"

void cntlr_neighbor_timer(struct uloop_timeout *t);
void cntlr_steer_exclude(struct cntlr *c);
// The same list, sent to `only` (every node when null).
void cntlr_steer_exclude_to(struct cntlr *c, struct node *only);
void free_node_cleanup(struct cntlr *c, struct node *n);
