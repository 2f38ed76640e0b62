// The controller: its record, the node registry, the fronthaul BSS lists,
// station tracking and steering, neighbor distribution, presence events and
// the watchlist, and the start-up survey.
//
// Ownership: the controller owns the node list and the watchlist; a node owns
// its fronthaul BSS list, its event handler, its timer and its re-probe
// request and timer (released with it); a watchnode owns its two timers. Nodes are released only by free_node_cleanup, watchnodes
// only by free_watchnode_cleanup. The controller record lives until the
// process ends.
//
// Every record is a plain struct allocated zero-filled through the tracing
// allocator (the fronthaul BSS through mtrace_malloc). Timers and event
// handlers are embedded; callbacks find their record with container_of.
// Lists run newest first (insertion at the head).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>

#include "src/active_sta.h"
#include "src/bus.h"

#define PREFIX_MAX 128
#define NODE_BSSINFO_FIRST_MS 3000
#define NODE_BSSINFO_PERIOD_MS 30000
#define CNTLR_NBR_FIRST_MS 2000
#define CNTLR_NBR_PERIOD_MS 10000
// A command that times out is followed by a probe of its node, answered
// within this time by any agent that still works.
#define CNTLR_PROBE_TIMEOUT_MS 1000
// An unresponsive node is probed again this often.
#define CNTLR_REPROBE_MS 5000

// One fronthaul BSS (access-point interface) of a node; on node->fhbsslist.
struct fhbss {
	char ifname[16]; // NUL-padded; 16 characters fill it without terminator
	char ssid[33];
	uint32_t bssid_info; // host order
	uint8_t bssid[6];
	uint8_t opclass;
	uint8_t phy_type;
	int32_t channel;
	struct timespec updated_at;
	struct list_head list;
};

// One box with a Wi-Fi agent; on cntlr->nodelist.
struct node {
	uint8_t macaddr[6];
	struct in_addr ipaddr; // network order; zero for the local node
	int32_t depth;
	int32_t connection_type; // 0 none, 1 ethernet, 2 wireless
	uint8_t is_local;
	uint8_t is_remote;
	struct cntlr *cntlr;
	uint32_t system_id;
	uint32_t graph_id;
	uint32_t network_id;
	uint32_t wifix_id;
	uint32_t agent_id; // target of every command; -1 when absent
	struct uloop_timeout bssinfo_timer;      // node_bssinfo_timer
	struct ubus_event_handler event_handler; // node_event_handler
	struct list_head fhbsslist;
	struct list_head list;
	uint8_t mobility_domain[2]; // local node only
	uint8_t oui0[32];           // local node only
	int32_t num_oui0;
	// Set when a command and the probe after it both went unanswered:
	// commands to the node then fail at once until it answers a re-probe
	// (cntlr_health.cc). The node owns its re-probe request and timer.
	uint8_t unresponsive;
	uint8_t probing;                  // probe_req is in flight
	struct uloop_timeout probe_timer; // node_probe_timer
	struct ubus_request probe_req;
};

// A box that vanished, watched for radar; on cntlr->watchlist.
struct watchnode {
	uint8_t macaddr[6];
	struct in_addr ipaddr;
	uint8_t bssid[6];
	char ssid[33];
	uint32_t scan_retries;
	struct uloop_timeout scan_timer;    // watchnode_scan_timer
	struct uloop_timeout scanres_timer; // watchnode_scanres_timer
	struct cntlr *cntlr;
	struct list_head list;
};

struct cntlr {
	struct ubus_context *ctx;
	struct ubus_event_handler topo_ev;     // cntlr_event_handler_local
	struct ubus_event_handler meshlink_ev; // cntlr_meshlink_event_handler
	struct uloop_timeout nbr_timer;        // cntlr_neighbor_timer
	uint32_t topology_id;                  // -1 without the topology daemon
	int32_t num_nodes;
	struct list_head nodelist;
	struct list_head watchlist;
	struct uloop_timeout channel_timer; // cntlr_channel_timer
	struct node *lnode;
	struct active_sta **as_table;
};

// --- controller life (cntlr.cc)
// The whole life of the controller: waits 2 s, connects, discovers, surveys,
// registers, runs the loop until SIGINT/SIGTERM. 0 after the loop ended, -1
// when the record cannot be allocated or the bus connection fails. The
// record is never released.
int start_controller(void);
// Initialises a record the caller allocated zero-filled and connected (ctx
// set): the handler and timer callbacks (nothing is registered or armed),
// empty lists, no lnode, topology_id -1, and the station table attached.
void cntlr_init(struct cntlr *c);
// Looks up "topology" (topology_id, logged) and builds the first node list:
// from its tree when it exists, else from a scan of all bus objects. Every
// bus call is synchronous; no loop needs to run.
void cntlr_discover(struct cntlr *c);
// Registers the event handlers of exactly one discovery mode, chosen by
// topology_id: topo_ev for "topology.*", or meshlink_ev for
// "ubus.object.add", "ubus.object.remove" and "wifi.sta".
void cntlr_register_handlers(struct cntlr *c);
// Arms nbr_timer for its first run (CNTLR_NBR_FIRST_MS); channel_timer stays
// unarmed.
void cntlr_start_timers(struct cntlr *c);

// --- node registry (cntlr_node.cc)
struct node *alloc_node_init(struct cntlr *c, const char *prefix);
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

// --- fronthaul BSS inventory (cntlr_bss.cc)
void update_fronthaul_bsslist(struct cntlr *c, char *resp, int len, void *priv);
void node_bssinfo_timer(struct uloop_timeout *t);
struct node *find_node_by_bssid(struct cntlr *c, const uint8_t *bssid);

// --- station tracking (cntlr_sta.cc)
int cntlr_handle_sta_event(struct node *n, struct blob_attr *msg, int from_remote);
void cntlr_assoclist_resp(struct cntlr *c, char *resp, int len, void *priv);
int cntlr_monitor_sta(struct cntlr *c, const uint8_t *macaddr, const uint8_t *bssid);
void cntlr_disconnect_sta_bss(struct cntlr *c, const uint8_t *bssid, struct active_sta *sta);
int node_disconnect_sta(struct node *n, const char *ifname, const char *sta);

// --- low-RSSI steering (cntlr_steer.cc)
int cntlr_handle_sta_rssi_low(struct node *n, const uint8_t *macaddr, int lowrssi);
void node_get_monitor_sta(struct cntlr *c, char *resp, int len, void *priv);

// --- neighbor lists and steering exclusion (cntlr_nbr.cc)
void cntlr_neighbor_timer(struct uloop_timeout *t);
void cntlr_steer_exclude(struct cntlr *c);
void free_node_cleanup(struct cntlr *c, struct node *n);

// --- presence events, watchlist, radar recovery (cntlr_watch.cc)
void cntlr_meshlink_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				  const char *type, struct blob_attr *msg);
struct watchnode *alloc_watchnode_init(struct cntlr *c, struct node *n, const char *prefix);
void free_watchnode_cleanup(struct cntlr *c, struct watchnode *wn);
void watchnode_scan_timer(struct uloop_timeout *t);
void watchnode_scanres_timer(struct uloop_timeout *t);
void watchnode_scanres_resp(struct cntlr *c, char *resp, int len, void *priv);
int cmd_set_param(struct cntlr *c, uint32_t agent_id, uint32_t channel);
void cntlr_channel_timer(struct uloop_timeout *t);

// --- agent health (cntlr_health.cc)
// Nonzero, with a trace line, when `n` is unresponsive: the caller fails
// its call with UBUS_STATUS_TIMEOUT instead of sending it. `what` names the
// call ("GET_BSS_INFO", "disconnect_sta").
int node_health_skip(struct node *n, const char *what);
// After `what` to `n` timed out: probes the node at once (GET_BSS_INFO, whose
// reply refreshes its BSS list, waited for CNTLR_PROBE_TIMEOUT_MS). When the
// probe goes unanswered too, the node becomes unresponsive (one error line)
// and its re-probe timer is armed.
void node_health_timed_out(struct node *n, const char *what);
// The same for the node whose agent object is `agent_id`; no node, nothing.
int cntlr_health_skip(struct cntlr *c, uint32_t agent_id, const char *what);
void cntlr_health_timed_out(struct cntlr *c, uint32_t agent_id, const char *what);
// Re-probes an unresponsive node without waiting: sends GET_BSS_INFO and
// re-arms itself for CNTLR_PROBE_TIMEOUT_MS; if that passes unanswered, the
// probe is aborted and the next one is due CNTLR_REPROBE_MS after it was
// sent. The first answer makes the node responsive again (one info line).
void node_probe_timer(struct uloop_timeout *t);
// Aborts the re-probe in flight and disarms the timer: before a node is
// released, and for every node at shutdown (cntlr_health_stop).
void node_health_release(struct node *n);
void cntlr_health_stop(struct cntlr *c);

// --- start-up survey (cntlr_survey.cc)
void cntlr_survey(struct cntlr *c);
void cntlr_mobid_resp(struct cntlr *c, char *resp, int len, void *priv);
void cntlr_oui_resp(struct cntlr *c, char *resp, int len, void *priv);
