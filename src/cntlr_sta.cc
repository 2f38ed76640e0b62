// Station association tracking: "wifi.sta" events and association lists keep
// the station table in step with the mesh, roamed stations are dropped by
// the BSS they left, repeater copies of a client are dropped, and the other
// boxes are told to watch every station that joins.
#include <cstdio>
#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_health.h"
#include "src/cntlr_history.h"
#include "src/cntlr_node.h"
#include "src/cntlr_sta.h"
#include "src/cntlr_steer.h"
#include "src/log.h"
#include "src/utils.h"

#define STA_DISCONNECT_TIMEOUT_MS 2000
#define ASSOCLIST_RECORD_LEN 52
#define ASSOCLIST_MAX_STA 5

enum {
	STA_EV_MACADDR,
	STA_EV_ACTION,
	STA_EV_VIF,
	STA_EV_LOWRSSI,
	__STA_EV_MAX,
};

static const struct blobmsg_policy sta_event_policy[__STA_EV_MAX] = {
	{"macaddr", BLOBMSG_TYPE_STRING},
	{"action", BLOBMSG_TYPE_STRING},
	{"vif", BLOBMSG_TYPE_STRING},
	{"lowrssi", BLOBMSG_TYPE_INT32},
};

// Copies at most `max` characters of a validated blobmsg string into `dst`,
// which holds max + 1 zeroed bytes.
static void copy_bounded(char *dst, struct blob_attr *attr, size_t max)
{
	const char *src = blobmsg_get_string(attr);

	memcpy(dst, src, strnlen(src, max));
}

static uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static struct fhbss *node_fhbss_by_ifname(struct node *n, const char *ifname)
{
	struct fhbss *f;

	list_for_each_entry(f, &n->fhbsslist, list) {
		if (!strncmp(f->ifname, ifname, sizeof(f->ifname)))
			return f;
	}
	return nullptr;
}

static int oui_count(const struct node *ln)
{
	// The agent's count is stored as received; the list itself holds 32.
	if (ln->num_oui0 > (int32_t)sizeof(ln->oui0))
		return sizeof(ln->oui0);
	return ln->num_oui0;
}

// A repeater gives a client behind it an address of its own: byte 0 from
// the local box's OUI list, bytes 1-2 the mobility domain, bytes 3-5 the
// client's. Such copies share the client's chain in the station table.
static void cntlr_drop_repeated_clients(struct cntlr *c, const uint8_t *m, const uint8_t *bssid,
					int from_remote)
{
	struct node *ln = c->lnode;
	struct active_sta *r;
	// The copies, taken before any call: a record is not trusted across one.
	struct active_sta dup[sizeof(ln->oui0)];
	int ndup = 0;

	// Without the local box we know neither its mobility domain nor its
	// OUI list: there is nothing to recognise a copy by.
	if (!ln)
		return;

	const uint8_t *d = ln->mobility_domain;
	int noui = oui_count(ln);
	bool search = false;

	if (m[1] == d[0] && m[2] == d[1] && byte_in_set(ln->oui0, m, noui))
		search = true;
	else if (m[1] != d[0] && m[2] != d[1] && !from_remote)
		search = true;
	if (!search)
		return;

	for (r = c->as_table[as_bucket(m)]; r; r = r->next) {
		if (memcmp(&r->macaddr[3], &m[3], 3) || r->macaddr[1] != d[0] ||
		    r->macaddr[2] != d[1] || !byte_in_set(ln->oui0, r->macaddr, noui) ||
		    !memcmp(r->macaddr, m, 6))
			continue;
		// Byte 0 tells the copies apart: at most one per OUI.
		if (ndup < (int)sizeof(ln->oui0))
			dup[ndup++] = *r;
	}
	for (int i = 0; i < ndup; i++) {
		r = &dup[i];
		log_message(LOG_LEVEL_TRACE,
			    PLAIN_MSG("Disconnecting redundant repeated client %02x:%02x:%02x:%02x:%02x:%02x\n"),
			    MAC2STR(r->macaddr));
		// The copy stays in the table: its own disassociation removes it.
		int ret = cntlr_disconnect_sta_bss(c, r->bssid, r);
		cntlr_disconnect_sta_bss(c, r->old_bssid, r);
		cntlr_history_add(c, {.why = WHY_DUPLICATE, .sta = r->macaddr, .bssid = r->bssid,
				      .target = bssid, .extra = m, .status = ret > 0 ? ret : 0});
	}
}

// Drops a roamed station from the BSS it left and says so in the history.
static void roam_disconnect(struct cntlr *c, struct active_sta *s, const uint8_t *left,
			    const uint8_t *now_on, bool left_that_too)
{
	uint8_t from[6], sta[6];
	int ret;

	// The record may be cleaned up by what the call brings: nothing of it
	// is read afterwards.
	memcpy(from, left, 6);
	memcpy(sta, s->macaddr, 6);
	ret = cntlr_disconnect_sta_bss(c, from, s);
	if (ret == -1)
		return;
	cntlr_history_add(c, {.why = WHY_LEFT, .sta = sta, .bssid = from, .target = now_on,
			      .num = {left_that_too, ret}});
}

int cntlr_handle_sta_event(struct node *n, struct blob_attr *msg, int from_remote)
{
	struct blob_attr *tb[__STA_EV_MAX] = {};
	char mac_text[18] = {};
	char vif[16] = {};
	char action[64] = {};
	uint8_t mac[6];
	struct cntlr *c;
	struct fhbss *f;
	const uint8_t *bssid;

	if (!msg || blobmsg_parse(sta_event_policy, __STA_EV_MAX, tb, blob_data(msg),
				  blob_len(msg)) < 0) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("Error parsing wifi.sta events!\n"));
		return -1;
	}
	if (!tb[STA_EV_MACADDR] || !tb[STA_EV_VIF] || !tb[STA_EV_ACTION])
		return -1;

	copy_bounded(mac_text, tb[STA_EV_MACADDR], 17);
	if (!hwaddr_aton(mac_text, mac))
		return -1;
	copy_bounded(vif, tb[STA_EV_VIF], 15);

	// The local box's events come with the local node, which does not
	// exist until its agent has been seen.
	if (!n)
		return -1;

	if (tb[STA_EV_LOWRSSI]) {
		int lowrssi = (int32_t)blobmsg_get_u32(tb[STA_EV_LOWRSSI]);

		if (lowrssi)
			return cntlr_handle_sta_rssi_low(n, mac, lowrssi);
	}

	copy_bounded(action, tb[STA_EV_ACTION], 63);

	c = n->cntlr;
	if (!is_foreign_mac(c, mac))
		return -1;

	f = node_fhbss_by_ifname(n, vif);
	if (!f)
		return -1;
	bssid = f->bssid;

	if (!strncmp(action, "disassociated", 14)) {
		struct active_sta *s = as_lookup(c->as_table, mac);

		// It left the BSS it is recorded on: the one before, if any,
		// must not keep it either.
		if (s && !memcmp(s->bssid, bssid, 6) && c->cfg.roam_cleanup)
			roam_disconnect(c, s, s->old_bssid, bssid, true);
		as_clean_entry(c->as_table, mac, bssid);
	} else if (!strncmp(action, "associated", 11)) {
		struct active_sta *s = as_lookup(c->as_table, mac);

		if (s && memcmp(s->bssid, bssid, 6) && c->cfg.roam_cleanup)
			roam_disconnect(c, s, s->bssid, bssid, false);

		if (c->cfg.duplicate_removal)
			cntlr_drop_repeated_clients(c, mac, bssid, from_remote);
		as_update_entry(c->as_table, mac, bssid);

		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("Start Monitoring for STA %02x:%02x:%02x:%02x:%02x:%02x ....\n"),
			    MAC2STR(mac));
		cntlr_monitor_sta(c, mac, bssid);
	}

	as_dump(c->as_table);
	return 0;
}

void cntlr_assoclist_resp(struct cntlr *c, char *resp, int len, void *priv)
{
	const uint8_t *bssid = (const uint8_t *)priv;
	uint8_t rec[ASSOCLIST_RECORD_LEN] = {};
	int32_t num_sta;

	// Anything past the record is not ours to read.
	if (len > 0)
		strtob(resp, len < ASSOCLIST_RECORD_LEN ? len : ASSOCLIST_RECORD_LEN, rec);
	num_sta = (int32_t)get_be32(&rec[16]);

	for (int i = 0; i < num_sta && i < ASSOCLIST_MAX_STA; i++) {
		const uint8_t *sta = &rec[20 + 6 * i];

		// A short reply leaves zeros where it announced addresses.
		if (hwaddr_is_zero(sta))
			continue;
		if (!is_foreign_mac(c, sta))
			continue;

		as_update_entry(c->as_table, sta, bssid);
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("Start Monitoring for STA %02x:%02x:%02x:%02x:%02x:%02x ....\n"),
			    MAC2STR(sta));
		cntlr_monitor_sta(c, sta, bssid);
	}
}

int cntlr_monitor_sta(struct cntlr *c, const uint8_t *macaddr, const uint8_t *bssid)
{
	struct node *owner = find_node_by_bssid(c, bssid);
	char text[13] = {};
	struct node *n;

	if (!owner) {
		log_message(LOG_LEVEL_ERROR,
			    ERROR2_MSG("CNTLR: Did not find node for exclude BSSID !\n"));
		return -1;
	}
	btostr(macaddr, 6, text);

	// Only boxes with access points of their own can hear the station.
	list_for_each_entry(n, &c->nodelist, list) {
		if (n == owner || list_empty(&n->fhbsslist))
			continue;

		for (int i = 0; i < 4; i++)
			fputs("##########################################\n", stderr);
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("Send MONITOR_STA to node (%p:%p)---->\n"),
			    (void *)n, (void *)(uintptr_t)n->agent_id);
		cntlr_send_cmd(c, n->agent_id, CMD_MONITOR_STA, text, 13, nullptr, nullptr);
	}
	return 0;
}

int cntlr_disconnect_sta_bss(struct cntlr *c, const uint8_t *bssid, struct active_sta *sta)
{
	struct node *n = find_node_by_bssid(c, bssid);
	char ifname[sizeof(fhbss::ifname) + 1] = {};
	char sta_text[18];
	struct fhbss *f, *found = nullptr;

	if (!n)
		return -1;

	list_for_each_entry(f, &n->fhbsslist, list) {
		if (!memcmp(f->bssid, bssid, 6)) {
			found = f;
			break;
		}
	}
	if (!found)
		return -1;
	// A name of 16 characters fills the record without a terminator.
	memcpy(ifname, found->ifname, sizeof(found->ifname));

	snprintf(sta_text, sizeof(sta_text), "%02x:%02x:%02x:%02x:%02x:%02x",
		 MAC2STR(sta->macaddr));
	// A failed call is the bus status, never -1.
	return node_disconnect_sta(n, ifname, sta_text);
}

int node_disconnect_sta(struct node *n, const char *ifname, const char *sta)
{
	struct blob_buf b = {};
	int ret;

	if (cntlr_stopping())
		return UBUS_STATUS_TIMEOUT;
	if (cntlr_bus_down(n->cntlr))
		return UBUS_STATUS_CONNECTION_FAILED;

	log_message(LOG_LEVEL_TRACE,
		    PLAIN_MSG("Invoking disconnect_sta for client = %s from node = %02x:%02x:%02x:%02x:%02x:%02x\n"),
		    sta, MAC2STR(n->macaddr));
	if (node_health_skip(n, "disconnect_sta"))
		return UBUS_STATUS_TIMEOUT;

	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "ifname", ifname);
	blobmsg_add_string(&b, "sta", sta);
	ret = ubus_invoke(n->cntlr->ctx, n->wifix_id, "disconnect_sta", b.head, nullptr, nullptr,
			  STA_DISCONNECT_TIMEOUT_MS);
	if (ret)
		log_message(LOG_LEVEL_TRACE, PLAIN_MSG("Failed to disconnect_sta (ret = %d)\n"),
			    ret);

	blob_buf_free(&b);
	if (ret == UBUS_STATUS_TIMEOUT)
		node_health_timed_out(n, "disconnect_sta");
	return ret;
}
