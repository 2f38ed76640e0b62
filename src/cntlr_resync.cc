// Agents that restart. A restarted agent comes back under new object ids
// and has forgotten what the controller told it; a box whose MAC the ARP
// cache did not know yet is missing from the exclusion list. The presence
// events catch the first in bus-extension mode, the neighbor timer's rescan
// catches both in either mode; both drive the box again.
#include <arpa/inet.h>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_health.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_node.h"
#include "src/cntlr_resync.h"
#include "src/cntlr_survey.h"
#include "src/cntlr_watch.h"
#include "src/log.h"
#include "src/utils.h"

void node_redrive(struct cntlr *c, struct node *n, bool exclude)
{
	if (exclude)
		cntlr_steer_exclude_to(c, n);
	if (n != c->lnode)
		return;
	if (c->channel_pending)
		cntlr_channel_change(c, false);
	// The hold lasts as long as the restore timer is armed.
	else if (uloop_timeout_remaining64(&c->channel_timer) >= 0)
		cmd_set_param(c, n->agent_id, (uint32_t)c->radar_hold_channel);
}

void node_agent_added(struct cntlr *c, struct node *n, const char *prefix)
{
	uint32_t old = n->agent_id;

	node_lookup_objects(n, prefix);
	// The same id: the rescan made the node from these very objects (or
	// drove it again already) before the event was handled.
	if (n->agent_id == old)
		return;
	n->restarted = 0;
	node_health_release(n);
	log_message(LOG_LEVEL_INFO, INFO_MSG("Agent of node '%s' is back: driving it again\n"),
		    prefix[0] ? prefix : "local");
	// The exclusion list goes to every node after any presence event.
	node_redrive(c, n, false);
}

// The exclusion list to every node when it changed; true when it went out.
static bool exclude_if_pending(struct cntlr *c)
{
	if (!c->exclude_pending)
		return false;
	c->exclude_pending = 0;
	cntlr_steer_exclude(c);
	return true;
}

// Nodes found since the start-up survey are surveyed, nodes marked
// restarted driven again; an unresponsive one keeps its marks until it
// answers (the answer marks it restarted anyway).
static void resync_marked(struct cntlr *c, bool exclude)
{
	struct node *n;

	list_for_each_entry(n, &c->nodelist, list) {
		if (n->unresponsive || cntlr_stopping())
			continue;
		if (n->unsurveyed && n->agent_id != (uint32_t)-1) {
			if (n->exclude_due)
				cntlr_steer_exclude_to(c, n);
			cntlr_survey_node(c, n);
			n->unsurveyed = n->unresponsive;
		}
		if (!n->restarted)
			continue;
		n->restarted = 0;
		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("Agent of node '%s' is back: driving it again\n"),
			    n->is_local ? "local" : inet_ntoa(n->ipaddr));
		node_redrive(c, n, exclude);
		// Its BSSes may have changed, and a list read from the old object
		// may have failed: the pass that follows hands them out.
		cntlr_send_cmd(c, n->agent_id, CMD_GET_BSS_INFO, nullptr, 0,
			       update_fronthaul_bsslist, n);
	}
}

void cntlr_resync_nodes(struct cntlr *c)
{
	bool learnt = false;
	struct node *n;

	list_for_each_entry(n, &c->nodelist, list) {
		if (!n->is_remote || !hwaddr_is_zero(n->macaddr))
			continue;
		if (get_hwaddr_by_ip("br-lan", inet_ntoa(n->ipaddr), n) == 0 &&
		    !hwaddr_is_zero(n->macaddr)) {
			log_message(LOG_LEVEL_INFO, INFO_MSG("Node '%s' has MAC " MACFMT "\n"),
				    inet_ntoa(n->ipaddr), MAC2STR(n->macaddr));
			learnt = true;
		}
	}
	if (learnt)
		c->exclude_pending = 1;
	resync_marked(c, !exclude_if_pending(c));
}

void cntlr_resync_timer(struct uloop_timeout *t)
{
	struct cntlr *c = container_of(t, struct cntlr, resync_timer);

	resync_marked(c, !exclude_if_pending(c));
}
