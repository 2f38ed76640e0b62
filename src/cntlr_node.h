// The node registry (cntlr_node.cc): the boxes found by the bus scan or in
// the topology daemon's tree, their objects' ids, their event handlers, and
// the ARP cache asked for a box's MAC. Nodes are made here and released only
// by free_node_cleanup (cntlr_nbr.h).
#pragma once

#include "src/cntlr.h"

struct node *alloc_node_init(struct cntlr *c, const char *prefix);
// Registers the node's event handler for the box's "wifi*" and "client*"
// events behind `prefix`.
void node_register_events(struct node *n, const char *prefix);
int topology_add_node(struct cntlr *c, const char *prefix);
void agent_lookup_cb(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv);
void build_topology_tree(struct ubus_request *req, int type, struct blob_attr *msg);
// The first node whose ipaddr is the address in `text`. A null or empty text
// names no address and finds no node (not even the local node, whose
// ipaddr is zero); a text that is no address logs "Invalid ipaddr" and finds
// none.
struct node *find_node_by_ip(struct cntlr *c, const char *text);
int is_foreign_mac(struct cntlr *c, const uint8_t *mac);
int get_hwaddr_by_ip(const char *device, const char *ip, struct node *n);
// Looks up the ids of the box's five objects behind `prefix` anew; a missing
// one is -1 (traced).
void node_lookup_objects(struct node *n, const char *prefix);
// The prefix of `path` when it is `name` alone ("") or "prefix/name", into
// `prefix` (PREFIX_MAX bytes); -1 otherwise.
int node_object_prefix(const char *path, const char *name, char *prefix);
// The node's prefix, as its objects' paths begin: "" for the local node,
// else its address. `buf` holds INET_ADDRSTRLEN bytes.
void node_prefix(const struct node *n, char *buf);
// The node of `prefix` ("": the local node), or null; silent about a prefix
// that is no address.
struct node *node_by_prefix(struct cntlr *c, const char *prefix);
// One object of the bus, as a lookup lists it: when it is one of a known
// box's five objects under another id (missing so far, or re-added by a
// restarted agent), the node takes the id; a new wifi.agent id marks the
// node restarted. 1 when an id changed.
int node_note_object(struct cntlr *c, const char *path, uint32_t id);
void node_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
			const char *type, struct blob_attr *msg);
void cntlr_event_handler_local(struct ubus_context *ctx, struct ubus_event_handler *ev,
			       const char *type, struct blob_attr *msg);
void cntlr_topology_event_handler(struct cntlr *c, struct blob_attr *msg);
// Cuts the prefix out of an object path containing "wifi.agent": the text
// before it less its last character, into `prefix` (PREFIX_MAX bytes,
// zeroed). Returns 0, or -1 when the path has no "wifi.agent" (silently) or
// the prefix would not fit (logged as an error; no node is made for it).
int cntlr_prefix_from_path(const char *path, char *prefix);
