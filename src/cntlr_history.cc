// The record of the controller's decisions: a fixed ring, so that a
// controller running for months holds the same memory as on its first day,
// and an event on the bus for the decisions a user may want to follow live.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_history.h"
#include "src/cntlr_node.h"
#include "src/utils.h"

#define CNTLR_BSS_NAME_LEN 48

static const char *const hist_kind_names[__HIST_KIND_MAX] = {
	"steer", "no_steer", "disconnect", "duplicate",
	"radar", "channel_restore", "node_added", "node_removed",
};

static const uint8_t why_kind[__WHY_MAX] = {
	HIST_STEER,      HIST_NO_STEER,     HIST_NO_STEER,        HIST_NO_STEER,
	HIST_NO_STEER,   HIST_NO_STEER,     HIST_NO_STEER,        HIST_DISCONNECT,
	HIST_DUPLICATE,  HIST_RADAR,        HIST_CHANNEL_RESTORE, HIST_NODE_ADDED,
	HIST_NODE_REMOVED,
};

// Oldest entry at hist_first; hist_count entries follow it, wrapping.
static struct hist_entry hist_ring[HISTORY_LEN];
static int hist_first;
static int hist_count;

const char *hist_kind_name(int kind)
{
	if (kind < 0 || kind >= __HIST_KIND_MAX)
		return nullptr;
	return hist_kind_names[kind];
}

int cntlr_history_count(void)
{
	return hist_count;
}

const struct hist_entry *cntlr_history_at(int i)
{
	if (i < 0 || i >= hist_count)
		return nullptr;
	return &hist_ring[(hist_first + i) % HISTORY_LEN];
}

void cntlr_history_clear(void)
{
	memset(hist_ring, 0, sizeof(hist_ring));
	hist_first = 0;
	hist_count = 0;
}

static const char *ip_text(int32_t addr, char *buf)
{
	struct in_addr a;

	a.s_addr = static_cast<uint32_t>(addr);
	return inet_ntop(AF_INET, &a, buf, INET_ADDRSTRLEN);
}

// "router/wl1" (the local box) or "192.168.1.2/wl1" for a BSS of the mesh,
// else its MAC text; `buf` holds at least CNTLR_BSS_NAME_LEN bytes.
static const char *cntlr_bss_name(struct cntlr *c, const uint8_t *bssid, char *buf)
{
	struct node *n;
	struct fhbss *f;

	list_for_each_entry(n, &c->nodelist, list) {
		list_for_each_entry(f, &n->fhbsslist, list) {
			char prefix[INET_ADDRSTRLEN];

			if (memcmp(f->bssid, bssid, 6))
				continue;
			node_prefix(n, prefix);
			snprintf(buf, CNTLR_BSS_NAME_LEN, "%s/%.16s", prefix[0] ? prefix : "router",
				 f->ifname);
			return buf;
		}
	}
	return hwaddr_ntoa(bssid, buf);
}

const char *hist_reason(struct cntlr *c, const struct hist_entry *e, char *buf)
{
	const int32_t *n = e->num;
	char name[CNTLR_BSS_NAME_LEN], other[CNTLR_BSS_NAME_LEN], from[18], ip[INET_ADDRSTRLEN];
	const int len = HISTORY_REASON_LEN;

	switch (e->why) {
	case WHY_STEER:
		snprintf(buf, len,
			 "signal %d dBm below %d; %s heard at %d dBm, %d dB better (needs more than %d)",
			 n[0], n[1], cntlr_bss_name(c, e->target, name), n[2], n[2] - n[0], n[3]);
		break;
	case WHY_NS_UNKNOWN:
		snprintf(buf, len,
			 "not steered: signal %d dBm reported for a station not known to be associated",
			 n[0]);
		break;
	case WHY_NS_OFF:
		snprintf(buf, len, "not steered: steering is off");
		break;
	case WHY_NS_EXCLUDED:
		snprintf(buf, len, "not steered: on the steering exclusion list");
		break;
	case WHY_NS_NOT_BELOW:
		snprintf(buf, len, "not steered: signal %d dBm is not below %d", n[0], n[1]);
		break;
	case WHY_NS_NO_NEIGHBOR:
		snprintf(buf, len, "not steered: no neighbor heard it in the last %d s%s", n[0],
			 n[1] ? " (not all boxes answered)" : "");
		break;
	case WHY_NS_MARGIN:
		snprintf(buf, len,
			 "not steered: best neighbor %d dBm is only %d dB better (needs more than %d)",
			 n[0], n[1], n[2]);
		break;
	case WHY_LEFT:
		snprintf(buf, len, "left %s for %s%s%s%s", cntlr_bss_name(c, e->bssid, name),
			 cntlr_bss_name(c, e->target, other), n[0] ? ", then left that one too" : "",
			 n[1] ? "; disconnect_sta failed: " : "", n[1] ? ubus_strerror(n[1]) : "");
		break;
	case WHY_DUPLICATE:
		snprintf(buf, len, "repeater's copy of %s, which joined %s",
			 hwaddr_ntoa(e->extra, from), cntlr_bss_name(c, e->target, name));
		break;
	case WHY_RADAR:
		snprintf(buf, len, "%s (%s) vanished with radar in its beacon; channel %d for %d s",
			 ip_text(n[0], ip), hwaddr_ntoa(e->extra, from), n[1], n[2]);
		break;
	case WHY_CHANNEL_RESTORE:
		snprintf(buf, len, "radar hold on channel %d over; channel back to automatic", n[0]);
		break;
	case WHY_NODE_ADDED:
		snprintf(buf, len, "agent of %s (%s) found", n[0] ? ip_text(n[0], ip) : "the router",
			 hwaddr_ntoa(e->extra, from));
		break;
	case WHY_NODE_REMOVED:
		snprintf(buf, len, "agent of %s (%s) left the bus%s", ip_text(n[0], ip),
			 hwaddr_ntoa(e->extra, from), n[1] ? "; watched for radar" : "");
		break;
	default:
		buf[0] = '\0';
	}
	if (e->status) {
		size_t at = strlen(buf);
		bool later = e->why == WHY_RADAR || e->why == WHY_CHANNEL_RESTORE;

		snprintf(buf + at, len - at, " -- %s failed (%s)%s",
			 later ? "SET_PARAM" : e->why == WHY_STEER ? "STEER" : "disconnect_sta",
			 ubus_strerror(e->status), later ? ", to be sent again" : "");
	}
	return buf;
}

static void put_mac(struct blob_buf *b, const char *name, const uint8_t *mac)
{
	char text[18];

	blobmsg_add_string(b, name, hwaddr_ntoa(mac, text));
}

void hist_entry_to_blob(struct cntlr *c, const struct hist_entry *e, struct blob_buf *b)
{
	char reason[HISTORY_REASON_LEN];

	blobmsg_add_u32(b, "time", e->time);
	blobmsg_add_string(b, "kind", hist_kind_name(e->kind));
	if (e->has & HIST_HAS_STA)
		put_mac(b, "sta", e->sta);
	if (e->has & HIST_HAS_BSSID)
		put_mac(b, "bssid", e->bssid);
	if (e->has & HIST_HAS_TARGET)
		put_mac(b, "target", e->target);
	blobmsg_add_string(b, "reason", hist_reason(c, e, reason));
}

static void set_mac(struct hist_entry *e, uint8_t bit, uint8_t *dst, const uint8_t *mac)
{
	if (!mac)
		return;
	e->has |= bit;
	memcpy(dst, mac, 6);
}

void cntlr_history_add(struct cntlr *c, const struct hist_note &note)
{
	struct hist_entry *e;

	if (note.why < 0 || note.why >= __WHY_MAX)
		return;
	if (hist_count < HISTORY_LEN) {
		e = &hist_ring[(hist_first + hist_count) % HISTORY_LEN];
		hist_count++;
	} else {
		e = &hist_ring[hist_first];
		hist_first = (hist_first + 1) % HISTORY_LEN;
	}
	memset(e, 0, sizeof(*e));
	e->status = static_cast<uint8_t>(note.status);
	e->time = static_cast<uint32_t>(cntlr_now() - c->started_at);
	e->why = static_cast<uint8_t>(note.why);
	e->kind = why_kind[note.why];
	set_mac(e, HIST_HAS_STA, e->sta, note.sta);
	set_mac(e, HIST_HAS_BSSID, e->bssid, note.bssid);
	set_mac(e, HIST_HAS_TARGET, e->target, note.target);
	if (note.extra)
		memcpy(e->extra, note.extra, 6);
	memcpy(e->num, note.num, sizeof(e->num));

	if (!c->ctx || cntlr_bus_down(c) || (e->kind != HIST_STEER && e->kind != HIST_DISCONNECT && e->kind != HIST_RADAR))
		return;

	char name[32];
	struct blob_buf b = {};

	snprintf(name, sizeof(name), "aircoord.%s", hist_kind_name(e->kind));
	blob_buf_init(&b, 0);
	hist_entry_to_blob(c, e, &b);
	ubus_send_event(c->ctx, name, b.head);
	blob_buf_free(&b);
}
