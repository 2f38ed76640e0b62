// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

int cntlr_handle_sta_event(struct node *, struct blob_attr *, int) { return -1; }
void cntlr_assoclist_resp(struct cntlr *, char *, int, void *) {}
int cntlr_monitor_sta(struct cntlr *, const uint8_t *, const uint8_t *) { return -1; }
void cntlr_disconnect_sta_bss(struct cntlr *, const uint8_t *, struct active_sta *) {}
int node_disconnect_sta(struct node *, const char *, const char *) { return -1; }
