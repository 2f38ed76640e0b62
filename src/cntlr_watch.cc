// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

void cntlr_meshlink_event_handler(struct ubus_context *, struct ubus_event_handler *, const char *,
				  struct blob_attr *) {}
struct watchnode *alloc_watchnode_init(struct cntlr *, struct node *, const char *) { return nullptr; }
void free_watchnode_cleanup(struct cntlr *, struct watchnode *) {}
void watchnode_scan_timer(struct uloop_timeout *) {}
void watchnode_scanres_timer(struct uloop_timeout *) {}
void watchnode_scanres_resp(struct cntlr *, char *, int, void *) {}
int cmd_set_param(struct cntlr *, uint32_t, uint32_t) { return 0; }
void cntlr_channel_timer(struct uloop_timeout *) {}
