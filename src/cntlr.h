// The controller: its record, the node registry, the fronthaul BSS lists,
// station tracking and steering, neighbor distribution, presence events and
// the watchlist, and the start-up survey.
//
// Ownership: the controller owns the node list and the watchlist; a node owns
// its fronthaul BSS list, its event handler, its timer and its re-probe
// request and timer (released with it); a watchnode owns its two timers.
// Nodes are released only by free_node_cleanup, watchnodes only by
// free_watchnode_cleanup. At the end of the run cntlr_release frees them
// all, the stations too, and start_controller frees the controller record
// last, so that a trace of a whole run pairs every allocation.
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
#include "src/cntlr_config.h"

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
// A re-probe's answer as noted until it is handled: the hex text of a
// GET_BSS_INFO reply (a 12-byte header and four entries of 61 bytes).
#define CNTLR_PROBE_RESP_LEN (2 * (12 + 4 * 61) + 1)
// A lost bus connection is tried again this often.
#define CNTLR_BUS_RETRY_MS 1000

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
	// The re-probe's answer, noted by its callbacks and handled by the
	// probe timer (armed for 0 ms when it came).
	uint8_t probe_answered;
	int32_t probe_resp_len;
	char probe_resp[CNTLR_PROBE_RESP_LEN];

	// Drive it again: a new wifi.agent id was seen, or it answers again
	// after being unresponsive. Done while it answers (cntlr_resync.cc).
	uint8_t restarted;
	// Not surveyed yet: found after the start-up survey, or the bus came
	// back while its agent was not on it yet. Surveyed once it answers.
	uint8_t unsurveyed;
	// Found after the start-up survey and not sent the exclusion list yet.
	uint8_t exclude_due;
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
	struct cntlr_config cfg;     // the tunables; defaults until set_config
	struct ubus_object obj;      // "aircoord"; registered by cntlr_ubus_add
	int64_t started_at;          // monotonic seconds at cntlr_init
	int64_t radar_hold_since;    // monotonic seconds the last radar hold began
	int32_t radar_hold_channel;  // the channel of that hold
	// Set while the bus connection is lost; bus_timer (cntlr_bus_retry)
	// connects anew.
	uint8_t bus_lost;
	struct uloop_timeout bus_timer;
	// What has to go out from the loop right after a reply or an answer:
	// a changed exclusion list, nodes to survey or drive again.
	struct uloop_timeout resync_timer; // cntlr_resync_timer
	uint8_t exclude_pending; // the exclusion list has yet to go to every node
	uint8_t surveyed; // the start-up survey is done
	// A channel change the router's agent has not answered yet
	// (CHANNEL_MOVE or CHANNEL_RESTORE); sent when it answers again.
	uint8_t channel_pending;
	// The box whose radar the move answers: its MAC, address, BSS seen.
	uint8_t radar_box[6];
	uint8_t radar_bssid[6];
	int32_t radar_box_ip;
};

#define CHANNEL_MOVE 1
#define CHANNEL_RESTORE 2

// --- controller life (cntlr.cc)
// The whole life of the controller: waits 2 s, connects, discovers, surveys,
// registers, runs the loop until SIGINT/SIGTERM, then releases every record
// (the controller's last). SIGINT/SIGTERM at any point skip what is left of
// the start-up. 0 after the loop ended or a stop signal, -1 when the record
// cannot be allocated or the bus connection fails.
int start_controller(void);
// True once SIGINT or SIGTERM came: no command goes out any more, and passes
// end early.
bool cntlr_stopping(void);
// Releases the watchnodes, the nodes (the local one first, so that nothing
// is withdrawn from it) and the stations, and cancels the controller's
// timers. The record itself and its bus connection stay.
void cntlr_release(struct cntlr *c);
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

// --- the bus connection (cntlr_bus.cc)
// Makes `ctx` the controller's connection: in the loop, its loss noticed,
// and its socket the one a stop signal shuts down (cntlr_bus_cut).
void cntlr_bus_attach(struct cntlr *c, struct ubus_context *ctx);
// Before the connection is freed: the stop signal no longer touches it and
// no reconnect is due.
void cntlr_bus_detach(struct cntlr *c);
// From the stop signal's handler (async-signal-safe): shuts the bus socket
// down, which ends a synchronous call that waits on it whichever library
// runs it; the daemon then sees the end of its own connection, not a lost
// broker.
void cntlr_bus_cut(void);
// The connection was lost (one error line) and not yet made again: nothing
// is sent meanwhile, and calls fail at once.
bool cntlr_bus_down(struct cntlr *c);
// bus_timer: connects anew, every CNTLR_BUS_RETRY_MS until a broker
// answers; then puts the aircoord object and the event handlers back, looks
// up every node's objects and surveys each node whose agent is there.
void cntlr_bus_retry(struct uloop_timeout *t);

// --- node registry (cntlr_node.cc)
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

// --- fronthaul BSS inventory (cntlr_bss.cc)
void update_fronthaul_bsslist(struct cntlr *c, char *resp, int len, void *priv);
void node_bssinfo_timer(struct uloop_timeout *t);
struct node *find_node_by_bssid(struct cntlr *c, const uint8_t *bssid);

// --- station tracking (cntlr_sta.cc)
int cntlr_handle_sta_event(struct node *n, struct blob_attr *msg, int from_remote);
void cntlr_assoclist_resp(struct cntlr *c, char *resp, int len, void *priv);
int cntlr_monitor_sta(struct cntlr *c, const uint8_t *macaddr, const uint8_t *bssid);
// 0 when the box holding `bssid` was told to drop the station, its bus
// status when the call failed, -1 when no box holds `bssid`.
int cntlr_disconnect_sta_bss(struct cntlr *c, const uint8_t *bssid, struct active_sta *sta);
int node_disconnect_sta(struct node *n, const char *ifname, const char *sta);

// --- low-RSSI steering (cntlr_steer.cc)
int cntlr_handle_sta_rssi_low(struct node *n, const uint8_t *macaddr, int lowrssi);
void node_get_monitor_sta(struct cntlr *c, char *resp, int len, void *priv);

// --- neighbor lists and steering exclusion (cntlr_nbr.cc)
void cntlr_neighbor_timer(struct uloop_timeout *t);
void cntlr_steer_exclude(struct cntlr *c);
// The same list, sent to `only` (every node when null).
void cntlr_steer_exclude_to(struct cntlr *c, struct node *only);
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
// Sends channel_pending to the router's agent. Answered, the radar hold
// starts (a move, arming channel_timer) or is over (a restore); either way
// the history says what happened, a failure only when `first` (the
// change's own attempt; it stays pending for when the agent answers again).
void cntlr_channel_change(struct cntlr *c, bool first);

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
// sent. The answer's callbacks only note it and arm the timer for 0 ms: the
// timer then refreshes the BSS list from it, makes the node responsive again
// (one info line) and marks it to be driven again from the loop
// (cntlr_resync_timer). While the bus is lost no probe goes out; one that
// the loss ended is no answer.
void node_probe_timer(struct uloop_timeout *t);
// Aborts the re-probe in flight, disarms the timer and forgets that the
// node was unresponsive: before a node is released, for a node whose agent
// came back under a new id (judged afresh), and for every node at shutdown
// (cntlr_health_stop).
void node_health_release(struct node *n);
void cntlr_health_stop(struct cntlr *c);

// --- the "aircoord" bus object (cntlr_ubus.cc)
// Puts the object on the bus; 0 or the bus status. cntlr_ubus_remove takes
// it off again (nothing when it is not registered).
int cntlr_ubus_add(struct cntlr *c);
void cntlr_ubus_remove(struct cntlr *c);
// "router/wl1" (the local box) or "192.168.1.2/wl1" for a BSS of the mesh,
// else its MAC text; `buf` holds at least CNTLR_BSS_NAME_LEN bytes.
#define CNTLR_BSS_NAME_LEN 48
const char *cntlr_bss_name(struct cntlr *c, const uint8_t *bssid, char *buf);
// Monotonic seconds.
int64_t cntlr_now(void);
// A page of "stations" holds at most this many records, far below the bus's
// message limit (about 250 bytes each).
#define STATIONS_PAGE_MAX 512
// The optional arguments of "stations" and "history".
struct cntlr_query {
	bool has_sta;
	uint8_t sta[6];
	int32_t offset; // stations only
	int32_t limit;
};
// Reads the arguments of "stations" (`paged`: with an offset) or "history".
// False for a malformed table, an unknown or mistyped member, a text that
// is no MAC address, a negative offset or a limit outside 1..the maximum
// (STATIONS_PAGE_MAX or HISTORY_LEN, the default).
bool cntlr_query_parse(struct blob_attr *msg, bool paged, struct cntlr_query *q);

// --- the settings file (cntlr_settings.cc)
// Takes the settings file of -c (when given) as the configuration, logging
// what became of it, and watches for SIGHUP from the loop: each one reads
// the file again and applies it as set_config does, or keeps the
// configuration when the file is bad. cntlr_settings_stop ends the watch.
void cntlr_settings_start(struct cntlr *c);
void cntlr_settings_stop(void);
// The SIGHUP handler: wakes the watch, nothing more.
void cntlr_on_reload_signal(int sig);

// --- agents that restart (cntlr_resync.cc)
// Right after the neighbor timer's rescan: remote nodes without a MAC ask
// the ARP cache again, the exclusion list goes out to all when it changed
// (a MAC learnt, a node found since the start-up survey), new nodes are
// surveyed, and nodes marked restarted are driven again. An unresponsive
// node keeps its marks until it answers.
void cntlr_resync_nodes(struct cntlr *c);
// resync_timer, armed for 0 ms by whatever cannot send from where it runs
// (a bus handler that must reply first, an asynchronous callback): the
// exclusion list when exclude_pending, then the marked nodes as above.
void cntlr_resync_timer(struct uloop_timeout *t);
// A restarted agent forgot what it was told: the exclusion list (with
// `exclude`) and, on the local node, a channel change it has not answered
// yet or, while a radar hold runs, the hold's channel. Its neighbor entries
// come with the next pass.
void node_redrive(struct cntlr *c, struct node *n, bool exclude);
// The agent of a known box was added again (presence event): the box's ids
// are looked up anew and, when its agent's id changed, the channel hold is
// brought back.
void node_agent_added(struct cntlr *c, struct node *n, const char *prefix);

// --- start-up survey (cntlr_survey.cc)
// The start-up survey; nodes found after it are marked unsurveyed.
void cntlr_survey(struct cntlr *c);
// Surveys one node the way the start-up survey does: its BSS list, then
// each BSS's association list, so the stations already on it are known.
void cntlr_survey_node(struct cntlr *c, struct node *n);
void cntlr_mobid_resp(struct cntlr *c, char *resp, int len, void *priv);
void cntlr_oui_resp(struct cntlr *c, char *resp, int len, void *priv);
