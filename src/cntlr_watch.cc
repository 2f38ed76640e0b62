// Presence events of the bus extension, the watchlist of vanished boxes and
// the radar recovery of the main access point.
//
// A vanished box is watched through the local agent: it scans for the box's
// SSID, then reports the scan result for the box's BSSID. A radar element
// in that result moves the local access point to the radar channel (36
// unless configured) for the radar hold (one hour unless configured).
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_history.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_node.h"
#include "src/cntlr_resync.h"
#include "src/cntlr_sta.h"
#include "src/cntlr_watch.h"
#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

#define WATCH_SCAN_FIRST_MS 15000
#define WATCH_SCAN_NO_LNODE_MS 10000
#define WATCH_SCANRES_MS 10000
#define WATCH_SCANRES_NO_LNODE_MS 20000
#define WATCH_SCAN_RETRY_MS 20000
#define WATCH_RESCAN_MS 30000
#define WATCH_RADAR_NO_LNODE_MS 10000
#define WATCH_SEND_FAILURES_MAX 4
#define WATCH_RESULTS_MAX 5
#define CHANNEL_RESTORE_RETRY_MS 15000

#define SCAN_RECORD_LEN 48
#define SCANRES_RECORD_LEN 1172
#define SCANRES_IE_LEN_OFF 144
#define SCANRES_IE_OFF 148
#define SCANRES_IE_MAX 1024
#define SET_PARAM_RECORD_LEN 140

// Vendor element 02:9e:7b whose data begins dd 06 aa 04: the box saw radar.
static const uint8_t radar_ie[] = {0xdd, 0x0b, 0x02, 0x9e, 0x7b, 0xdd, 0x06, 0xaa, 0x04};

// The query that watchnode_scanres_timer has on the bus. Its reply is
// handled inside the send and may release the watchnode; the release marks
// it here so that the timer's failure path, and any further reply the agent
// sends to the same query, leave the memory alone.
struct scanres_query {
	struct watchnode *wn;
	bool released;
};
static struct scanres_query *scanres_query_;

static void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = v >> 24;
	p[1] = v >> 16;
	p[2] = v >> 8;
	p[3] = v;
}

static uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void *agent_ptr(uint32_t agent_id)
{
	return reinterpret_cast<void *>(static_cast<uintptr_t>(agent_id));
}

static struct watchnode *find_watchnode(struct cntlr *c, struct in_addr ip)
{
	struct watchnode *wn;

	list_for_each_entry(wn, &c->watchlist, list) {
		if (wn->ipaddr.s_addr == ip.s_addr)
			return wn;
	}
	return nullptr;
}

struct watchnode *alloc_watchnode_init(struct cntlr *c, struct node *n, const char *prefix)
{
	struct watchnode *wn;
	struct fhbss *f;

	log_message(LOG_LEVEL_INFO, INFO_MSG("Alloc new watchnode for prefix '%s'\n"), prefix);
	wn = static_cast<struct watchnode *>(MTRACE_CALLOC(1, sizeof(*wn)));
	if (!wn) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("OOM: watchnode calloc failed!\n"));
		return nullptr;
	}
	wn->cntlr = c;
	memcpy(wn->macaddr, n->macaddr, sizeof(wn->macaddr));
	if (prefix[0])
		inet_aton(prefix, &wn->ipaddr);
	wn->scan_timer.cb = watchnode_scan_timer;
	wn->scanres_timer.cb = watchnode_scanres_timer;
	uloop_timeout_set(&wn->scan_timer, WATCH_SCAN_FIRST_MS);
	// The box's newest BSS is the one looked for.
	if (!list_empty(&n->fhbsslist)) {
		f = list_first_entry(&n->fhbsslist, struct fhbss, list);
		memcpy(wn->bssid, f->bssid, sizeof(wn->bssid));
		memcpy(wn->ssid, f->ssid, strnlen(f->ssid, sizeof(wn->ssid) - 1));
	}
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Add node (prefix '%s') to watchlist\n"), prefix);
	list_add(&wn->list, &c->watchlist);
	return wn;
}

void free_watchnode_cleanup(struct cntlr *, struct watchnode *wn)
{
	if (scanres_query_ && scanres_query_->wn == wn)
		scanres_query_->released = true;
	uloop_timeout_cancel(&wn->scan_timer);
	uloop_timeout_cancel(&wn->scanres_timer);
	list_del(&wn->list);
	MTRACE_FREE(wn);
}

void watchnode_scan_timer(struct uloop_timeout *t)
{
	struct watchnode *wn = container_of(t, struct watchnode, scan_timer);
	struct node *lnode = wn->cntlr->lnode;
	uint8_t rec[SCAN_RECORD_LEN] = {};
	char hex[2 * SCAN_RECORD_LEN + 1] = {};

	if (!lnode) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("No lnode, reschedule scan"));
		uloop_timeout_set(&wn->scan_timer, WATCH_SCAN_NO_LNODE_MS);
		return;
	}

	memcpy(rec, wn->ssid, strnlen(wn->ssid, sizeof(wn->ssid) - 1));
	btostr(rec, SCAN_RECORD_LEN, hex);
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Sending SCAN to lnode (%p:%p)---->\n"),
		    static_cast<void *>(lnode), agent_ptr(lnode->agent_id));
	cntlr_send_cmd(wn->cntlr, lnode->agent_id, CMD_SCAN, hex, sizeof(hex), nullptr, nullptr);
	uloop_timeout_set(&wn->scanres_timer, WATCH_SCANRES_MS);
}

void watchnode_scanres_timer(struct uloop_timeout *t)
{
	struct watchnode *wn = container_of(t, struct watchnode, scanres_timer);
	struct cntlr *c = wn->cntlr;
	struct node *lnode = c->lnode;
	struct scanres_query query = {wn, false};
	struct scanres_query *outer = scanres_query_;
	char hex[13] = {};
	int ret;

	if (!lnode) {
		uloop_timeout_set(&wn->scanres_timer, WATCH_SCANRES_NO_LNODE_MS);
		return;
	}

	btostr(wn->bssid, 6, hex);
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Sending GET_SCANRES to lnode (%p:%p)---->\n"),
		    static_cast<void *>(lnode), agent_ptr(lnode->agent_id));
	scanres_query_ = &query;
	ret = cntlr_send_cmd(c, lnode->agent_id, CMD_GET_SCANRES, hex, sizeof(hex),
			     watchnode_scanres_resp, wn);
	scanres_query_ = outer;
	// The agent may deliver a result and still fail the call; the result
	// may have released the watchnode already.
	if (ret == 0 || query.released)
		return;

	if (++wn->scan_retries > WATCH_SEND_FAILURES_MAX)
		return;
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Will retry-%d watchnode scan\n"), wn->scan_retries);
	uloop_timeout_set(&wn->scan_timer, WATCH_SCAN_RETRY_MS);
}

// Bytes of hex text before the first non-hex character, at most `max`.
static size_t hex_run_bytes(const char *s, size_t max)
{
	size_t digits = 0;

	while (digits < 2 * max && hex_digit_value(static_cast<uint8_t>(s[digits])) >= 0)
		digits++;
	return digits / 2;
}

void watchnode_scanres_resp(struct cntlr *, char *resp, int len, void *priv)
{
	struct watchnode *wn = static_cast<struct watchnode *>(priv);
	uint8_t rec[SCANRES_RECORD_LEN] = {};
	size_t got = 0;
	size_t window;
	const uint8_t *ies = rec + SCANRES_IE_OFF;

	// The channel hands over every data message of the reply; an earlier
	// one of this query may have released the watchnode already.
	if (scanres_query_ && scanres_query_->wn == wn && scanres_query_->released)
		return;
	struct cntlr *c = wn->cntlr;

	if (len > 0)
		got = hex_run_bytes(resp, std::min(static_cast<size_t>(len), sizeof(rec)));
	strtob(resp, static_cast<uint32_t>(got), rec);

	// The stated element length is the agent's word; search only what the
	// record holds and the text carried.
	window = std::min<size_t>(get_be32(rec + SCANRES_IE_LEN_OFF), SCANRES_IE_MAX);
	window = std::min(window, got > SCANRES_IE_OFF ? got - SCANRES_IE_OFF : 0);

	if (std::search(ies, ies + window, radar_ie, radar_ie + sizeof(radar_ie)) != ies + window) {
		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("Node " MACFMT " has detected radar\n"), MAC2STR(wn->macaddr));
		if (!c->lnode) {
			uloop_timeout_set(&wn->scanres_timer, WATCH_RADAR_NO_LNODE_MS);
			return;
		}
		memcpy(c->radar_box, wn->macaddr, 6);
		memcpy(c->radar_bssid, wn->bssid, 6);
		c->radar_box_ip = (int32_t)wn->ipaddr.s_addr;
		free_watchnode_cleanup(c, wn);
		c->channel_pending = CHANNEL_MOVE;
		cntlr_channel_change(c, true);
		return;
	}

	log_message(LOG_LEVEL_TRACE, TRACE_MSG("radar ie not present\n"));
	if (++wn->scan_retries > WATCH_RESULTS_MAX) {
		free_watchnode_cleanup(c, wn);
		return;
	}
	uloop_timeout_set(&wn->scan_timer, WATCH_RESCAN_MS);
}

// The send's status: 0 once the agent answered.
static int send_set_param(struct cntlr *c, uint32_t agent_id, uint32_t channel)
{
	uint8_t rec[SET_PARAM_RECORD_LEN] = {};
	char hex[2 * SET_PARAM_RECORD_LEN + 1] = {};

	memcpy(rec, "channel", strlen("channel"));
	put_be32(rec + 128, 8);
	put_be32(rec + 132, channel);
	put_be32(rec + 136, 80);
	btostr(rec, SET_PARAM_RECORD_LEN, hex);
	log_message(LOG_LEVEL_TRACE, PLAIN_MSG("cmd_set_param: %s\n"), hex);
	return cntlr_send_cmd(c, agent_id, CMD_SET_PARAM, hex, sizeof(hex), nullptr, nullptr);
}

int cmd_set_param(struct cntlr *c, uint32_t agent_id, uint32_t channel)
{
	send_set_param(c, agent_id, channel);
	return 0;
}

void cntlr_channel_change(struct cntlr *c, bool first)
{
	bool move = c->channel_pending == CHANNEL_MOVE;
	int32_t channel = move ? c->cfg.radar_channel : 0;
	int ret = send_set_param(c, c->lnode->agent_id, (uint32_t)channel);

	if (ret && !first)
		return;
	if (!ret) {
		c->channel_pending = 0;
		if (move) {
			uloop_timeout_set(&c->channel_timer, c->cfg.radar_hold * 1000);
			c->radar_hold_since = cntlr_now();
			c->radar_hold_channel = channel;
		}
	}
	if (move)
		cntlr_history_add(c, {.why = WHY_RADAR, .bssid = c->radar_bssid, .extra = c->radar_box,
				      .num = {c->radar_box_ip, channel, c->cfg.radar_hold},
				      .status = ret});
	else
		cntlr_history_add(c, {.why = WHY_CHANNEL_RESTORE, .num = {c->radar_hold_channel},
				      .status = ret});
}

void cntlr_channel_timer(struct uloop_timeout *t)
{
	struct cntlr *c = container_of(t, struct cntlr, channel_timer);

	if (!c->lnode) {
		uloop_timeout_set(&c->channel_timer, CHANNEL_RESTORE_RETRY_MS);
		return;
	}
	c->channel_pending = CHANNEL_RESTORE;
	cntlr_channel_change(c, true);
}

// The address part of an event path; false for a prefix that is no dotted
// IPv4 address (the empty prefix of the local agent included).
static bool parse_prefix(const char *prefix, struct in_addr *ip)
{
	ip->s_addr = 0;
	return prefix[0] && inet_aton(prefix, ip);
}

static void object_added(struct cntlr *c, const char *prefix, const char *name)
{
	struct watchnode *wn;
	struct in_addr ip;

	struct node *known = node_by_prefix(c, prefix);

	log_message(LOG_LEVEL_INFO, INFO_MSG("To add: %s/wifi.agent\n"), name);
	topology_add_node(c, prefix);
	// The box kept its node (the local one always does): its agent
	// restarted under new ids.
	if (known)
		node_agent_added(c, known, prefix);
	log_message(LOG_LEVEL_INFO, INFO_MSG("deleting node '%s' from watchlist\n"), prefix);

	// The local agent is never watched, so its prefix ends no watch.
	if (!prefix[0])
		return;
	if (!parse_prefix(prefix, &ip)) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Invalid meshlink prefix: %s\n"), prefix);
		return;
	}
	list_for_each_entry(wn, &c->watchlist, list) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("Watchlist: %u     Find: %u\n"),
			    wn->ipaddr.s_addr, ip.s_addr);
		if (wn->ipaddr.s_addr == ip.s_addr) {
			free_watchnode_cleanup(c, wn);
			break;
		}
	}
}

// Puts the vanished box on the watchlist when there is something to watch.
static void watch_removed(struct cntlr *c, const char *prefix)
{
	struct node *n;

	// The local node is neither watched nor removed: its agent is the one
	// that would do the watching. The empty prefix finds no node, and a
	// prefix such as 0.0.0.0, which matches its zero address, is refused.
	n = find_node_by_ip(c, prefix);
	if (n && n->is_local)
		n = nullptr;
	if (!n) {
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("node '%s' not found. watchlist add failed!\n"), prefix);
		return;
	}
	if (list_empty(&n->fhbsslist)) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("fhbss for node " MACFMT " not present\n"),
			    MAC2STR(n->macaddr));
		return;
	}
	if (find_watchnode(c, n->ipaddr)) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("Alert! '%s' already in watchlist\n"),
			    prefix);
		return;
	}
	alloc_watchnode_init(c, n, prefix);
}

static void object_removed(struct cntlr *c, const char *prefix, const char *name)
{
	struct node *n;
	struct in_addr ip;

	log_message(LOG_LEVEL_INFO, INFO_MSG("To del: %s/wifi.agent\n"), name);
	if (prefix[0] && !parse_prefix(prefix, &ip))
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Invalid meshlink prefix: %s\n"), prefix);
	else
		watch_removed(c, prefix);
	log_message(LOG_LEVEL_INFO, INFO_MSG("Node '%s' disappeared from network\n"), prefix);

	if (!parse_prefix(prefix, &ip)) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Invalid meshlink prefix: %s\n"), prefix);
		return;
	}
	list_for_each_entry(n, &c->nodelist, list) {
		log_message(LOG_LEVEL_INFO, INFO_MSG("List: %u     Find: %u\n"), n->ipaddr.s_addr,
			    ip.s_addr);
		// lnode keeps pointing at the local node; it must never be freed.
		if (n->is_local || n->ipaddr.s_addr != ip.s_addr)
			continue;
		list_del(&n->list);
		c->num_nodes--;
		cntlr_history_add(c, {.why = WHY_NODE_REMOVED, .extra = n->macaddr,
				      .num = {(int32_t)n->ipaddr.s_addr,
					      find_watchnode(c, n->ipaddr) != nullptr}});
		free_node_cleanup(c, n);
		return;
	}
	log_message(LOG_LEVEL_INFO, INFO_MSG("Node '%s' not found in nodelist!\n"), prefix);
}

// A box's wifix may come back after its agent: a known node takes its new
// id. Nothing else follows from it.
static void companion_added(struct cntlr *c, const char *path)
{
	char prefix[PREFIX_MAX];
	uint32_t id;

	if (node_object_prefix(path, "wifix", prefix) < 0 || !node_by_prefix(c, prefix))
		return;
	if (ubus_lookup_id(c->ctx, path, &id) == 0)
		node_note_object(c, path, id);
}

// After any agent came or went: the exclusion list changed, the remaining
// boxes rescan, and every BSS list is read again.
static void presence_refresh(struct cntlr *c)
{
	struct node *n;

	c->exclude_pending = 0;
	cntlr_steer_exclude(c);
	list_for_each_entry(n, &c->nodelist, list) {
		if (n->is_remote)
			cntlr_send_cmd(c, n->agent_id, CMD_SCAN, nullptr, 0, nullptr, nullptr);
	}
	list_for_each_entry(n, &c->nodelist, list)
		cntlr_send_cmd(c, n->agent_id, CMD_GET_BSS_INFO, nullptr, 0,
			       update_fronthaul_bsslist, n);
}

void cntlr_meshlink_event_handler(struct ubus_context *, struct ubus_event_handler *ev,
				  const char *type, struct blob_attr *msg)
{
	static const struct blobmsg_policy path_policy[] = {{"path", BLOBMSG_TYPE_STRING}};
	struct cntlr *c = container_of(ev, struct cntlr, meshlink_ev);
	struct blob_attr *tb[1] = {};
	char prefix[PREFIX_MAX] = {};
	bool added = !strcmp(type, "ubus.object.add");
	const char *path;

	if (!added && strcmp(type, "ubus.object.remove")) {
		if (strcmp(type, "wifi.sta")) {
			log_message(LOG_LEVEL_TRACE, TRACE_MSG("Unhandled event: '%s'\n"), type);
			return;
		}
		// The local box's stations mean nothing until its agent is a node.
		if (c->lnode)
			cntlr_handle_sta_event(c->lnode, msg, 0);
		return;
	}

	if (!msg)
		return;
	blobmsg_parse(path_policy, 1, tb, blob_data(msg), blob_len(msg));
	if (!tb[0])
		return;
	path = blobmsg_get_string(tb[0]);
	if (!strstr(path, "wifi.agent")) {
		if (added)
			companion_added(c, path);
		return;
	}
	if (cntlr_prefix_from_path(path, prefix) < 0)
		return;

	if (added)
		object_added(c, prefix, prefix[0] ? prefix : "local");
	else
		object_removed(c, prefix, prefix[0] ? prefix : "local");
	presence_refresh(c);
}
