// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

int cntlr_handle_sta_rssi_low(struct node *, const uint8_t *, int) { return -1; }
void node_get_monitor_sta(struct cntlr *, char *, int, void *) {}
