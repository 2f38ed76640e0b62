// Low-RSSI steering: when a box reports a station's signal as weak, every
// other box is asked what it hears of the station, and the station is
// steered to a neighbor BSS that is clearly stronger.
#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_config.h"
#include "src/cntlr_history.h"
#include "src/cntlr_steer.h"
#include "src/log.h"
#include "src/utils.h"

// The thresholds (signal, margin, measurement age) are c->cfg's.

#define MONITOR_STA_RESP_LEN 20
#define STEER_RECORD_LEN 16

static uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// True, with the failed condition in the history, when the pass found no
// BSS to steer the station to; `unanswered` boxes were not heard from.
static bool steer_refused(struct cntlr *c, struct active_sta *s, int lowrssi, int unanswered)
{
	const struct cntlr_config *cfg = &c->cfg;

	if (lowrssi >= cfg->steer_rssi_threshold) {
		cntlr_history_add(c, {.why = WHY_NS_NOT_BELOW, .sta = s->macaddr, .bssid = s->bssid,
				      .num = {lowrssi, cfg->steer_rssi_threshold}});
		return true;
	}
	if (hwaddr_is_zero(s->best_nbr_bssid) || s->best_nbr_rssi == AS_NO_RSSI) {
		cntlr_history_add(c, {.why = WHY_NS_NO_NEIGHBOR, .sta = s->macaddr, .bssid = s->bssid,
				      .num = {cfg->steer_max_age, unanswered}});
		return true;
	}
	if (s->best_nbr_rssi - lowrssi <= cfg->steer_rssi_margin) {
		cntlr_history_add(c, {.why = WHY_NS_MARGIN, .sta = s->macaddr, .bssid = s->bssid,
				      .target = s->best_nbr_bssid,
				      .num = {s->best_nbr_rssi, s->best_nbr_rssi - lowrssi,
					      cfg->steer_rssi_margin}});
		return true;
	}
	return false;
}

// The station is on the reporting box `n`; that box carries out the move.
static int steer_send(struct node *n, const uint8_t *macaddr, const uint8_t *to)
{
	uint8_t rec[STEER_RECORD_LEN];
	char steer_text[2 * STEER_RECORD_LEN + 1] = {};

	memcpy(&rec[0], macaddr, 6);
	rec[6] = 0;
	rec[7] = 0;
	rec[8] = 0;
	rec[9] = 1;
	memcpy(&rec[10], to, 6);
	btostr(rec, sizeof(rec), steer_text);

	log_message(LOG_LEVEL_TRACE, TRACE_MSG("CMD_STEER in agent with best nbr +++++++++++>\n"));
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Send STEER to node (%p:%p)---->\n"), (void *)n,
		    (void *)(uintptr_t)n->agent_id);
	return cntlr_send_cmd(n->cntlr, n->agent_id, CMD_STEER, steer_text, sizeof(steer_text),
			      nullptr, nullptr);
}

int cntlr_handle_sta_rssi_low(struct node *n, const uint8_t *macaddr, int lowrssi)
{
	struct cntlr *c = n->cntlr;
	struct active_sta *s;
	char text[13] = {};
	uint8_t on[6], to[6];
	int unanswered = 0, best, ret;
	struct node *p;

	log_message(LOG_LEVEL_TRACE,
		    TRACE_MSG("Received wifi.sta 'lowrssi' (%d) event +++++++++++++>\n"), lowrssi);
	if (hwaddr_is_zero(macaddr))
		return 0;

	s = as_lookup(c->as_table, macaddr);
	if (!s) {
		cntlr_history_add(c, {.why = WHY_NS_UNKNOWN, .sta = macaddr, .num = {lowrssi}});
		return -1;
	}
	as_touch(c->as_table, s);
	if (!c->cfg.steering || cntlr_config_excluded(&c->cfg, macaddr)) {
		cntlr_history_add(c, {.why = c->cfg.steering ? WHY_NS_EXCLUDED : WHY_NS_OFF,
				      .sta = macaddr, .bssid = s->bssid});
		return 0;
	}

	// Each report starts a fresh pass: an earlier pass's best neighbor
	// may be stale by now.
	s->best_nbr_rssi = AS_NO_RSSI;
	s->rssi = lowrssi;
	memset(s->best_nbr_bssid, 0, 6);

	btostr(macaddr, 6, text);
	// The replies are handled inside each send, so the record holds the
	// best answer once the walk is done. No event runs meanwhile, so the
	// node list does not change under us.
	list_for_each_entry(p, &c->nodelist, list) {
		if (p == n)
			continue;
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("Send GET_MONITOR_STA to node (%p:%p)---->\n"), (void *)p,
			    (void *)(uintptr_t)p->agent_id);
		unanswered += cntlr_send_cmd(c, p->agent_id, CMD_GET_MONITOR_STA, text, 13,
					     node_get_monitor_sta, p) != 0;
	}
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("%s: After doing get monitor sta .......\n"),
		    "cntlr_handle_sta_rssi_low");

	// A walk cut short by a stop decides nothing. The record is looked up
	// again rather than trusted across the calls.
	s = as_lookup(c->as_table, macaddr);
	if (cntlr_stopping() || !s || steer_refused(c, s, lowrssi, unanswered))
		return 0;
	memcpy(on, s->bssid, 6);
	memcpy(to, s->best_nbr_bssid, 6);
	best = s->best_nbr_rssi;

	ret = steer_send(n, macaddr, to);
	cntlr_history_add(c, {.why = WHY_STEER, .sta = macaddr, .bssid = on, .target = to,
			      .num = {lowrssi, c->cfg.steer_rssi_threshold, best,
				      c->cfg.steer_rssi_margin},
			      .status = ret});
	return 0;
}

void node_get_monitor_sta(struct cntlr *c, char *resp, int len, void *)
{
	uint8_t r[MONITOR_STA_RESP_LEN] = {};
	struct active_sta *s;

	log_message(LOG_LEVEL_TRACE, TRACE_MSG("%s(): received: %s\n"), "node_get_monitor_sta",
		    resp);
	// Anything past the record is not ours to read.
	if (len > 0)
		strtob(resp, len < MONITOR_STA_RESP_LEN ? len : MONITOR_STA_RESP_LEN, r);

	uint8_t sig = r[12];
	int nbr_rssi = sig ? sig - 256 : 0;
	uint32_t seen = get_be32(&r[16]);

	if (hwaddr_is_zero(&r[0]) || !sig) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("Invalid GET_MONITOR resp!!!\n"));
		return;
	}

	s = as_lookup(c->as_table, &r[0]);
	if (!s)
		return;

	log_message(LOG_LEVEL_TRACE,
		    TRACE_MSG("STA %02x:%02x:%02x:%02x:%02x:%02x old best nbr-rssi = %d  nbr-rssi = %d  seen = %d secs ago\n"),
		    MAC2STR(s->macaddr), s->best_nbr_rssi, nbr_rssi, (int)seen);

	// Equal is not better: the earlier node in the list keeps it.
	if (nbr_rssi > s->best_nbr_rssi && seen < (uint32_t)c->cfg.steer_max_age) {
		s->best_nbr_rssi = nbr_rssi;
		memcpy(s->best_nbr_bssid, &r[6], 6);
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("STA %02x:%02x:%02x:%02x:%02x:%02x better neighbor is %02x:%02x:%02x:%02x:%02x:%02x with rssi %d\n"),
			    MAC2STR(&r[0]), MAC2STR(s->best_nbr_bssid), s->best_nbr_rssi);
	}
}
