// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

struct node *alloc_node_init(struct cntlr *, const char *) { return nullptr; }
int topology_add_node(struct cntlr *, const char *) { return -1; }
void agent_lookup_cb(struct ubus_context *, struct ubus_object_data *, void *) {}
void build_topology_tree(struct ubus_request *, int, struct blob_attr *) {}
struct node *find_node_by_ip(struct cntlr *, const char *) { return nullptr; }
int is_foreign_mac(struct cntlr *, const uint8_t *) { return 1; }
int get_hwaddr_by_ip(const char *, const char *, struct node *) { return -1; }
void node_event_handler(struct ubus_context *, struct ubus_event_handler *, const char *, struct blob_attr *) {}
void cntlr_event_handler_local(struct ubus_context *, struct ubus_event_handler *, const char *, struct blob_attr *) {}
void cntlr_topology_event_handler(struct cntlr *, struct blob_attr *) {}
int cntlr_prefix_from_path(const char *, char *) { return -1; }
