// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

void update_fronthaul_bsslist(struct cntlr *, char *, int, void *) {}
void node_bssinfo_timer(struct uloop_timeout *) {}
struct node *find_node_by_bssid(struct cntlr *, const uint8_t *) { return nullptr; }
