// The record of the controller's decisions: a fixed ring, so that a
// controller running for months holds the same memory as on its first day,
// and an event on the bus for the decisions a user may want to follow live.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/utils.h"

static const char *const hist_kind_names[__HIST_KIND_MAX] = {
	"steer", "no_steer", "disconnect", "duplicate",
	"radar", "channel_restore", "node_added", "node_removed",
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

static void put_mac(struct blob_buf *b, const char *name, const uint8_t *mac)
{
	char text[18];

	blobmsg_add_string(b, name, hwaddr_ntoa(mac, text));
}

void hist_entry_to_blob(const struct hist_entry *e, struct blob_buf *b)
{
	blobmsg_add_u32(b, "time", e->time);
	blobmsg_add_string(b, "kind", hist_kind_name(e->kind));
	if (e->has_sta)
		put_mac(b, "sta", e->sta);
	if (e->has_bssid)
		put_mac(b, "bssid", e->bssid);
	if (e->has_target)
		put_mac(b, "target", e->target);
	blobmsg_add_string(b, "reason", e->reason);
}

static void set_mac(uint8_t *has, uint8_t *dst, const uint8_t *mac)
{
	*has = mac != nullptr;
	if (mac)
		memcpy(dst, mac, 6);
}

void cntlr_history_add(struct cntlr *c, int kind, const uint8_t *sta, const uint8_t *bssid,
		       const uint8_t *target, const char *fmt, ...)
{
	struct hist_entry *e;
	va_list ap;

	if (hist_count < HISTORY_LEN) {
		e = &hist_ring[(hist_first + hist_count) % HISTORY_LEN];
		hist_count++;
	} else {
		e = &hist_ring[hist_first];
		hist_first = (hist_first + 1) % HISTORY_LEN;
	}
	memset(e, 0, sizeof(*e));
	e->time = static_cast<uint32_t>(cntlr_now() - c->started_at);
	e->kind = static_cast<uint8_t>(kind);
	set_mac(&e->has_sta, e->sta, sta);
	set_mac(&e->has_bssid, e->bssid, bssid);
	set_mac(&e->has_target, e->target, target);
	va_start(ap, fmt);
	vsnprintf(e->reason, sizeof(e->reason), fmt, ap);
	va_end(ap);

	if (!c->ctx || (kind != HIST_STEER && kind != HIST_DISCONNECT && kind != HIST_RADAR))
		return;

	char name[32];
	struct blob_buf b = {};

	snprintf(name, sizeof(name), "aircoord.%s", hist_kind_name(kind));
	blob_buf_init(&b, 0);
	hist_entry_to_blob(e, &b);
	ubus_send_event(c->ctx, name, b.head);
	blob_buf_free(&b);
}
