// The controller's records: the controller, the boxes of the mesh (nodes)
// with their fronthaul BSSes, and the vanished boxes watched for radar; and
// the controller's life from start-up to shutdown (cntlr.cc). Each part of
// the controller declares its functions in a header beside it
// (cntlr_node.h, cntlr_bss.h, cntlr_sta.h, ...).
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

// The whole life of the controller: waits 2 s, connects, discovers, surveys,
// registers, runs the loop until SIGINT/SIGTERM, then releases every record
// (the controller's last). SIGINT/SIGTERM at any point skip what is left of
// the start-up. 0 after the loop ended or a stop signal, -1 when the record
// cannot be allocated or the bus connection fails.
int start_controller(void);
// Monotonic seconds.
int64_t cntlr_now(void);
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
