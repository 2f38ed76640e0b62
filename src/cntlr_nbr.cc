// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

void cntlr_neighbor_timer(struct uloop_timeout *) {}
void cntlr_steer_exclude(struct cntlr *) {}
void free_node_cleanup(struct cntlr *, struct node *) {}
