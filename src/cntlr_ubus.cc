// The "aircoord" bus object: what the controller knows (status, stations),
// why it acted or did not (history), and its settings (get_config,
// set_config). Every reply is built and sent within the handler, and no
// handler waits on an agent: what a new setting sends to the agents goes
// out from the loop right after the reply.
#include <arpa/inet.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdio>
#include <cstring>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_config.h"
#include "src/cntlr_history.h"
#include "src/cntlr_node.h"
#include "src/cntlr_ubus.h"
#include "src/log.h"
#include "src/utils.h"

static struct cntlr *obj_cntlr(struct ubus_object *obj)
{
	return container_of(obj, struct cntlr, obj);
}

static void add_mac(struct blob_buf *b, const char *name, const uint8_t *mac)
{
	char text[18];

	blobmsg_add_string(b, name, hwaddr_ntoa(mac, text));
}

#ifdef __GLIBC__
// A full history is tens of kB, built and sent once; glibc would keep the
// pages for good. (Other C libraries give them back by themselves.)
static void trim_memory(struct uloop_timeout *)
{
	malloc_trim(0);
}
static struct uloop_timeout trim_timer;
#endif

static int reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_buf *b)
{
	int ret = ubus_send_reply(ctx, req, b->head);

	blob_buf_free(b);
#ifdef __GLIBC__
	// Once the bus has sent it too: from the loop.
	trim_timer.cb = trim_memory;
	uloop_timeout_set(&trim_timer, 0);
#endif
	return ret ? UBUS_STATUS_UNKNOWN_ERROR : UBUS_STATUS_OK;
}

static void add_node(struct blob_buf *b, struct node *n)
{
	char prefix[INET_ADDRSTRLEN];
	char ip[INET_ADDRSTRLEN] = {};
	char text[sizeof(((struct fhbss *)nullptr)->ifname) + 1];
	struct fhbss *f;
	void *t = blobmsg_open_table(b, nullptr);
	void *arr;

	node_prefix(n, prefix);
	inet_ntop(AF_INET, &n->ipaddr, ip, sizeof(ip));
	blobmsg_add_string(b, "prefix", prefix);
	blobmsg_add_string(b, "ip", ip);
	add_mac(b, "mac", n->macaddr);
	// Object ids use all 32 bits; -1 stays the mark of an absent object.
	blobmsg_add_u64(b, "agent_id", n->agent_id == (uint32_t)-1 ? (uint64_t)-1 : n->agent_id);
	blobmsg_add_u64(b, "wifix_id", n->wifix_id == (uint32_t)-1 ? (uint64_t)-1 : n->wifix_id);
	blobmsg_add_u8(b, "responsive", !n->unresponsive);
	arr = blobmsg_open_array(b, "bss");
	list_for_each_entry(f, &n->fhbsslist, list) {
		void *bt = blobmsg_open_table(b, nullptr);

		memset(text, 0, sizeof(text));
		memcpy(text, f->ifname, sizeof(f->ifname));
		blobmsg_add_string(b, "ifname", text);
		blobmsg_add_string(b, "ssid", f->ssid);
		add_mac(b, "bssid", f->bssid);
		blobmsg_add_u32(b, "channel", (uint32_t)f->channel);
		blobmsg_add_u32(b, "opclass", f->opclass);
		blobmsg_add_u32(b, "phy", f->phy_type);
		blobmsg_close_table(b, bt);
	}
	blobmsg_close_array(b, arr);
	blobmsg_close_table(b, t);
}

// Seconds until an armed timer fires, rounded up; -1 when it is not armed.
static int64_t timer_secs(struct uloop_timeout *t)
{
	int64_t ms = uloop_timeout_remaining64(t);

	return ms < 0 ? -1 : (ms + 999) / 1000;
}

static int aircoord_status(struct ubus_context *ctx, struct ubus_object *obj,
			   struct ubus_request_data *req, const char *, struct blob_attr *)
{
	struct cntlr *c = obj_cntlr(obj);
	struct blob_buf b = {};
	struct watchnode *wn;
	struct node *n;
	void *arr;
	int64_t hold;

	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "mode", c->topology_id != (uint32_t)-1 ? "topology" : "scan");
	blobmsg_add_u32(&b, "uptime", (uint32_t)(cntlr_now() - c->started_at));
	arr = blobmsg_open_array(&b, "nodes");
	list_for_each_entry(n, &c->nodelist, list)
		add_node(&b, n);
	blobmsg_close_array(&b, arr);

	arr = blobmsg_open_array(&b, "watchlist");
	list_for_each_entry(wn, &c->watchlist, list) {
		void *t = blobmsg_open_table(&b, nullptr);
		char ip[INET_ADDRSTRLEN] = {};
		int64_t next = timer_secs(&wn->scan_timer);

		if (next < 0)
			next = timer_secs(&wn->scanres_timer);
		inet_ntop(AF_INET, &wn->ipaddr, ip, sizeof(ip));
		blobmsg_add_string(&b, "ip", ip);
		blobmsg_add_u32(&b, "scan_retries", wn->scan_retries);
		blobmsg_add_u32(&b, "next_in", next < 0 ? 0 : (uint32_t)next);
		blobmsg_close_table(&b, t);
	}
	blobmsg_close_array(&b, arr);

	hold = timer_secs(&c->channel_timer);
	if (hold >= 0) {
		void *t = blobmsg_open_table(&b, "radar_hold");

		blobmsg_add_u32(&b, "channel", (uint32_t)c->radar_hold_channel);
		blobmsg_add_u32(&b, "remaining", (uint32_t)hold);
		blobmsg_close_table(&b, t);
	}
	return reply(ctx, req, &b);
}

enum { ARG_STA, ARG_LIMIT, ARG_OFFSET, __ARG_MAX };

static const struct blobmsg_policy stations_policy[] = {
	{"sta", BLOBMSG_TYPE_STRING},
	{"limit", BLOBMSG_TYPE_INT32},
	{"offset", BLOBMSG_TYPE_INT32},
};

static const struct blobmsg_policy history_policy[] = {
	{"sta", BLOBMSG_TYPE_STRING},
	{"limit", BLOBMSG_TYPE_INT32},
};

bool cntlr_query_parse(struct blob_attr *msg, bool paged, struct cntlr_query *q)
{
	struct blob_attr *tb[__ARG_MAX] = {};
	int nargs = paged ? __ARG_MAX : ARG_OFFSET;
	int max = paged ? STATIONS_PAGE_MAX : HISTORY_LEN;
	int found = 0;

	memset(q, 0, sizeof(*q));
	q->limit = max;
	if (!msg || !blob_len(msg))
		return true;
	// The parse checks every member it takes before its data is read.
	if (blobmsg_parse(stations_policy, nargs, tb, blob_data(msg), blob_len(msg)) < 0)
		return false;
	// A member the parse did not take is unknown or of the wrong type.
	for (int i = 0; i < nargs; i++)
		found += tb[i] != nullptr;
	found += cntlr_args_session(msg) != nullptr;
	if (found != cntlr_blob_count(blob_data(msg), (int)blob_len(msg)))
		return false;
	if (tb[ARG_STA]) {
		const char *text = blobmsg_get_string(tb[ARG_STA]);

		if (strlen(text) != 17 || !hwaddr_aton(text, q->sta))
			return false;
		q->has_sta = true;
	}
	if (tb[ARG_LIMIT]) {
		q->limit = (int32_t)blobmsg_get_u32(tb[ARG_LIMIT]);
		if (q->limit < 1 || q->limit > max)
			return false;
	}
	if (tb[ARG_OFFSET]) {
		q->offset = (int32_t)blobmsg_get_u32(tb[ARG_OFFSET]);
		if (q->offset < 0)
			return false;
	}
	return true;
}

// One station; what is not known yet is left out rather than shown as a
// reading.
static void add_station(struct blob_buf *b, struct cntlr *c, struct active_sta *s, int64_t now)
{
	struct node *n = find_node_by_bssid(c, s->bssid);
	char prefix[INET_ADDRSTRLEN];
	void *t = blobmsg_open_table(b, nullptr);

	add_mac(b, "sta", s->macaddr);
	add_mac(b, "bssid", s->bssid);
	if (!hwaddr_is_zero(s->old_bssid))
		add_mac(b, "old_bssid", s->old_bssid);
	if (n) {
		node_prefix(n, prefix);
		blobmsg_add_string(b, "node", prefix);
	}
	if (s->rssi)
		blobmsg_add_u32(b, "rssi", (uint32_t)s->rssi);
	if (!hwaddr_is_zero(s->best_nbr_bssid) && s->best_nbr_rssi != AS_NO_RSSI) {
		add_mac(b, "best_nbr_bssid", s->best_nbr_bssid);
		blobmsg_add_u32(b, "best_nbr_rssi", (uint32_t)s->best_nbr_rssi);
	}
	blobmsg_add_u32(b, "age", (uint32_t)now - s->last_heard);
	blobmsg_close_table(b, t);
}

// A page of the matching stations, in table order: a full table would not
// fit in one message. `total` counts every match, so a caller pages with
// offset += its length until offset >= total.
static int aircoord_stations(struct ubus_context *ctx, struct ubus_object *obj,
			     struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct cntlr *c = obj_cntlr(obj);
	struct blob_buf b = {};
	struct cntlr_query q;
	int64_t now = cntlr_now();
	int total = 0;
	void *arr;

	if (!cntlr_query_parse(msg, true, &q))
		return UBUS_STATUS_INVALID_ARGUMENT;

	blob_buf_init(&b, 0);
	arr = blobmsg_open_array(&b, "stations");
	for (int i = 0; i < AS_TABLE_SIZE; i++) {
		for (struct active_sta *s = c->as_table[i]; s; s = s->next) {
			if (q.has_sta && memcmp(s->macaddr, q.sta, 6))
				continue;
			int at = total++;

			if (at >= q.offset && at - q.offset < q.limit)
				add_station(&b, c, s, now);
		}
	}
	blobmsg_close_array(&b, arr);
	blobmsg_add_u32(&b, "offset", (uint32_t)q.offset);
	blobmsg_add_u32(&b, "total", (uint32_t)total);
	return reply(ctx, req, &b);
}

static bool hist_matches(const struct hist_entry *e, bool has_sta, const uint8_t *sta)
{
	return !has_sta || ((e->has & HIST_HAS_STA) && !memcmp(e->sta, sta, 6));
}

static int aircoord_history(struct ubus_context *ctx, struct ubus_object *obj,
			    struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct cntlr *c = obj_cntlr(obj);
	struct blob_buf b = {};
	struct cntlr_query q;
	int total = 0, first = 0, skip;
	void *arr;

	if (!cntlr_query_parse(msg, false, &q))
		return UBUS_STATUS_INVALID_ARGUMENT;

	// Newest last: of the matching entries, the last `limit` ones. The
	// whole ring fits in one reply.
	for (int i = 0; i < cntlr_history_count(); i++)
		total += hist_matches(cntlr_history_at(i), q.has_sta, q.sta);
	skip = total > q.limit ? total - q.limit : 0;
	blob_buf_init(&b, 0);
	arr = blobmsg_open_array(&b, "history");
	for (int i = 0; i < cntlr_history_count(); i++) {
		const struct hist_entry *e = cntlr_history_at(i);
		void *t;

		if (!hist_matches(e, q.has_sta, q.sta))
			continue;
		if (first++ < skip)
			continue;
		t = blobmsg_open_table(&b, nullptr);
		hist_entry_to_blob(c, e, &b);
		blobmsg_close_table(&b, t);
	}
	blobmsg_close_array(&b, arr);
	blobmsg_add_u32(&b, "total", (uint32_t)total);
	return reply(ctx, req, &b);
}

static int aircoord_get_config(struct ubus_context *ctx, struct ubus_object *obj,
			       struct ubus_request_data *req, const char *, struct blob_attr *)
{
	struct blob_buf b = {};

	blob_buf_init(&b, 0);
	cntlr_config_to_blob(&obj_cntlr(obj)->cfg, &b);
	return reply(ctx, req, &b);
}

static int aircoord_set_config(struct ubus_context *ctx, struct ubus_object *obj,
			       struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct cntlr *c = obj_cntlr(obj);
	struct cntlr_config next;
	char why[CNTLR_WHY_LEN];

	if (cntlr_config_parse(&c->cfg, msg, &next, why, sizeof(why)) != UBUS_STATUS_OK) {
		struct blob_buf b = {};

		log_message(LOG_LEVEL_ERROR, ERROR_MSG("set_config refused: %s\n"), why);
		// The caller sees the reason too, not only the status.
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "error", why);
		reply(ctx, req, &b);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}
	log_message(LOG_LEVEL_INFO, INFO_MSG("set_config: new configuration in effect\n"));
	cntlr_config_apply(c, &next);
	return UBUS_STATUS_OK;
}

static const struct ubus_method aircoord_methods[] = {
	UBUS_METHOD_NOARG("status", aircoord_status),
	UBUS_METHOD("stations", aircoord_stations, stations_policy),
	UBUS_METHOD("history", aircoord_history, history_policy),
	UBUS_METHOD_NOARG("get_config", aircoord_get_config),
	UBUS_METHOD("set_config", aircoord_set_config, set_config_policy.key),
};

static struct ubus_object_type aircoord_type = UBUS_OBJECT_TYPE("aircoord", aircoord_methods);

int cntlr_ubus_add(struct cntlr *c)
{
	int ret;

	// The type id is the broker's: a new connection (a restarted broker)
	// has the type registered afresh.
	aircoord_type.id = 0;
	c->obj.name = "aircoord";
	c->obj.type = &aircoord_type;
	c->obj.methods = aircoord_methods;
	c->obj.n_methods = ARRAY_SIZE(aircoord_methods);
	ret = ubus_add_object(c->ctx, &c->obj);
	if (ret)
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Failed to add object 'aircoord' (%s)\n"),
			    ubus_strerror(ret));
	return ret;
}

void cntlr_ubus_remove(struct cntlr *c)
{
#ifdef __GLIBC__
	uloop_timeout_cancel(&trim_timer);
#endif
	if (c->obj.id)
		ubus_remove_object(c->ctx, &c->obj);
}
