// Neighbor distribution, steering exclusion and node release.
//
// Every command here is a synchronous bus call; bus events that arrive
// meanwhile are queued until the loop runs again, so the node list cannot
// change under the walks below.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_health.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_node.h"
#include "src/cntlr_resync.h"
#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

#define NEIGHBOR_ENTRY_LEN 17
#define STEER_EXCLUDE_MAX 15
#define MAC_TEXT_LEN 17

static void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = v >> 24;
	p[1] = v >> 16;
	p[2] = v >> 8;
	p[3] = v;
}

// The body of an 802.11 neighbor report element, behind four zero bytes.
static void neighbor_entry_from_fhbss(const struct fhbss *f, uint8_t *e)
{
	memset(e, 0, NEIGHBOR_ENTRY_LEN);
	memcpy(e + 4, f->bssid, 6);
	put_be32(e + 10, f->bssid_info);
	e[14] = f->opclass;
	e[15] = static_cast<uint8_t>(f->channel);
	e[16] = f->phy_type;
}

static void send_neighbors_to(struct cntlr *c, struct node *rx)
{
	struct node *m;
	struct fhbss *f;

	list_for_each_entry(m, &c->nodelist, list) {
		if (m == rx)
			continue;
		list_for_each_entry(f, &m->fhbsslist, list) {
			uint8_t entry[NEIGHBOR_ENTRY_LEN];
			char hex[2 * NEIGHBOR_ENTRY_LEN + 1] = {};

			neighbor_entry_from_fhbss(f, entry);
			btostr(entry, NEIGHBOR_ENTRY_LEN, hex);
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Sending ADD_NEIGHBOR to node (%p:%p)---->\n"),
				    static_cast<void *>(rx),
				    reinterpret_cast<void *>(static_cast<uintptr_t>(rx->agent_id)));
			cntlr_send_cmd(c, rx->agent_id, CMD_ADD_NEIGHBOR, hex, sizeof(hex), nullptr,
				       nullptr);
		}
	}
}

void cntlr_neighbor_timer(struct uloop_timeout *t)
{
	struct cntlr *c = container_of(t, struct cntlr, nbr_timer);
	struct node *n;
	int i = 0;

	// Nothing to look up or hand out while the bus is lost.
	if (cntlr_bus_down(c)) {
		uloop_timeout_set(&c->nbr_timer, c->cfg.neighbor_interval * 1000);
		return;
	}

	// Agents that appeared without an event (or before the topology
	// daemon saw them) become nodes here.
	ubus_lookup(c->ctx, nullptr, agent_lookup_cb, c);
	cntlr_resync_nodes(c);

	list_for_each_entry(n, &c->nodelist, list) {
		char ip[INET_ADDRSTRLEN] = {};

		inet_ntop(AF_INET, &n->ipaddr, ip, sizeof(ip));
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("  %d |  & = %p ,  agent = %p,  prefix = '%s')\n"), i++,
			    static_cast<void *>(n),
			    reinterpret_cast<void *>(static_cast<uintptr_t>(n->agent_id)), ip);
	}

	if (c->num_nodes > 1) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("num nodes = %d\n"), c->num_nodes);
		list_for_each_entry(n, &c->nodelist, list) {
			if (cntlr_stopping())
				break;
			send_neighbors_to(c, n);
		}
	}

	uloop_timeout_set(&c->nbr_timer, c->cfg.neighbor_interval * 1000);
}

void cntlr_steer_exclude(struct cntlr *c)
{
	cntlr_steer_exclude_to(c, nullptr);
}

void cntlr_steer_exclude_to(struct cntlr *c, struct node *only)
{
	// 15 addresses of 17 characters and the terminator.
	char list[STEER_EXCLUDE_MAX * MAC_TEXT_LEN + 1] = {};
	struct node *n;
	int num = 0;

	list_for_each_entry(n, &c->nodelist, list) {
		char mac[MAC_TEXT_LEN + 1];

		if (hwaddr_is_zero(n->macaddr))
			continue;
		hwaddr_ntoa(n->macaddr, mac);
		memcpy(list + MAC_TEXT_LEN * num, mac, MAC_TEXT_LEN);
		if (++num == STEER_EXCLUDE_MAX)
			break;
	}
	// Configured stations follow the boxes while the list has room.
	for (int i = 0; i < c->cfg.num_steer_exclude_extra && num < STEER_EXCLUDE_MAX; i++) {
		char mac[MAC_TEXT_LEN + 1];

		hwaddr_ntoa(c->cfg.steer_exclude_extra[i], mac);
		memcpy(list + MAC_TEXT_LEN * num++, mac, MAC_TEXT_LEN);
	}
	if (num == 0)
		return;

	list_for_each_entry(n, &c->nodelist, list) {
		if (only && n != only)
			continue;
		n->exclude_due = 0;
		if (hwaddr_is_zero(n->macaddr))
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Cntlr: CMD_STEER_EXCLUDE to agent @[local] --->>\n"));
		else
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Cntlr: CMD_STEER_EXCLUDE to agent @[" MACFMT
					      "] --->>\n"),
				    MAC2STR(n->macaddr));
		cntlr_send_cmd(c, n->agent_id, CMD_STEER_EXCLUDE, list, MAC_TEXT_LEN * num, nullptr,
			       nullptr);
	}
}

void free_node_cleanup(struct cntlr *c, struct node *n)
{
	struct node *lnode = c->lnode;
	struct fhbss *f, *tmp;

	uloop_timeout_cancel(&n->bssinfo_timer);
	node_health_release(n);
	ubus_unregister_event_handler(c->ctx, &n->event_handler);

	// Only the local agent is told to forget the vanished box's BSSes.
	if (lnode && n != lnode) {
		list_for_each_entry(f, &n->fhbsslist, list) {
			char hex[13] = {};

			btostr(f->bssid, 6, hex);
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Sending DEL_NEIGHBOR to lnode (%p:%p)---->\n"),
				    static_cast<void *>(lnode),
				    reinterpret_cast<void *>(static_cast<uintptr_t>(lnode->agent_id)));
			cntlr_send_cmd(c, lnode->agent_id, CMD_DEL_NEIGHBOR, hex, sizeof(hex), nullptr,
				       nullptr);
		}
	}

	// The box's stations stay in the table: a restarted agent's box comes
	// back with them, and a station that shows up elsewhere is moved by
	// its association. The others age out.
	list_for_each_entry_safe(f, tmp, &n->fhbsslist, list) {
		list_del(&f->list);
		MTRACE_FREE(f);
	}
	MTRACE_FREE(n);
}
