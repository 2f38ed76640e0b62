// The start-up survey: before the loop runs, every node is asked for what
// the controller needs from the first event on. Each command's reply has
// been handled when its send returns, so later steps see earlier results
// (the association lists are asked per BSS that GET_BSS_INFO reported).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_nbr.h"
#include "src/cntlr_sta.h"
#include "src/cntlr_survey.h"
#include "src/log.h"
#include "src/utils.h"

#define ASSOCLIST_RECORD_LEN 52
#define MOBID_LEN 2
#define OUI_REPLY_LEN 36
#define OUI0_MAX 32

// Decode bound for a reply of `len` bytes (text and NUL) into `size` bytes.
static uint32_t decode_bound(int len, size_t size)
{
	if (len <= 0)
		return 0;
	return static_cast<uint32_t>(std::min(static_cast<size_t>(len), size));
}

static void survey_assoclists(struct cntlr *c, struct node *n)
{
	struct fhbss *f;

	list_for_each_entry(f, &n->fhbsslist, list) {
		uint8_t rec[ASSOCLIST_RECORD_LEN] = {};
		char hex[2 * ASSOCLIST_RECORD_LEN + 1] = {};
		int ret;

		// A 16-character name fills the field without terminator.
		memcpy(rec, f->ifname, strnlen(f->ifname, sizeof(f->ifname)));
		btostr(rec, ASSOCLIST_RECORD_LEN, hex);
		ret = cntlr_send_cmd(c, n->agent_id, CMD_GET_ASSOCLIST, hex, sizeof(hex),
				     cntlr_assoclist_resp, f->bssid);
		if (ret)
			log_message(LOG_LEVEL_TRACE, PLAIN_MSG("Failed to get assoclist (ret = %d)\n"),
				    ret);
	}
}

static void survey_bss_info(struct cntlr *c, struct node *n)
{
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("CMD GET_BSSINFO to agent @ (%p) " MACFMT "\n"),
		    reinterpret_cast<void *>(static_cast<uintptr_t>(n->agent_id)),
		    MAC2STR(n->macaddr));
	cntlr_send_cmd(c, n->agent_id, CMD_GET_BSS_INFO, nullptr, 0, update_fronthaul_bsslist, n);
}

void cntlr_survey_node(struct cntlr *c, struct node *n)
{
	survey_bss_info(c, n);
	survey_assoclists(c, n);
}

void cntlr_survey(struct cntlr *c)
{
	struct node *n;

	cntlr_steer_exclude(c);

	list_for_each_entry(n, &c->nodelist, list)
		survey_bss_info(c, n);

	// Only the local agent knows the mobility domain and the OUI list;
	// a local node found later keeps them zero for the whole run.
	if (c->lnode) {
		cntlr_send_cmd(c, c->lnode->agent_id, CMD_GET_MOBID, nullptr, 0, cntlr_mobid_resp,
			       c->lnode);
		cntlr_send_cmd(c, c->lnode->agent_id, CMD_GET_OUI, nullptr, 0, cntlr_oui_resp,
			       c->lnode);
	}

	list_for_each_entry(n, &c->nodelist, list)
		survey_assoclists(c, n);
	// A box found from here on would miss its stations: it is surveyed
	// alone (cntlr_resync.cc).
	c->surveyed = 1;
}

void cntlr_mobid_resp(struct cntlr *, char *resp, int len, void *priv)
{
	struct node *n = static_cast<struct node *>(priv);

	// An empty or short reply leaves the rest of the field as it was.
	strtob(resp, decode_bound(len, MOBID_LEN), n->mobility_domain);
	log_message(LOG_LEVEL_TRACE, PLAIN_MSG("Received mobility domain = %02x%02x\n"),
		    n->mobility_domain[0], n->mobility_domain[1]);
}

void cntlr_oui_resp(struct cntlr *, char *resp, int len, void *priv)
{
	struct node *n = static_cast<struct node *>(priv);
	uint8_t buf[OUI_REPLY_LEN] = {};
	int32_t num;

	strtob(resp, decode_bound(len, OUI_REPLY_LEN), buf);
	// The count travels in the agent's own byte order.
	memcpy(&num, buf, sizeof(num));
	memcpy(n->oui0, buf + 4, OUI0_MAX);
	n->num_oui0 = num;
	if (num == 0)
		return;

	log_message(LOG_LEVEL_TRACE, PLAIN_MSG("Received %d different oui0s\n"), num);
	if (num > OUI0_MAX)
		log_message(LOG_LEVEL_TRACE, PLAIN_MSG("GET_OUI num_oui0 = %d > %d !\n"), num,
			    OUI0_MAX);
	for (int i = 0; i < num && i < OUI0_MAX; i++)
		log_message(LOG_LEVEL_TRACE, PLAIN_MSG("oui0[%d] = %d\n"), i, n->oui0[i]);
}
