#include <arpa/inet.h>

#include <cstring>
#include <ctime>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

// The reply of GET_BSS_INFO: a 12-byte header (unused word, channel,
// num_bss, big-endian) and up to 4 entries of 61 bytes each.
#define BSS_INFO_HDR_LEN 12
#define BSS_INFO_ENTRY_LEN 61
#define BSS_INFO_MAX_BSS 4
#define BSS_INFO_REPLY_LEN (BSS_INFO_HDR_LEN + BSS_INFO_MAX_BSS * BSS_INFO_ENTRY_LEN)

#define BSS_ENTRY_IFNAME 0
#define BSS_ENTRY_BSSID_INFO 16
#define BSS_ENTRY_BSSID 20
#define BSS_ENTRY_OPCLASS 26
#define BSS_ENTRY_PHY_TYPE 27
#define BSS_ENTRY_SSID 28

static uint32_t get_be32(const uint8_t *p)
{
	uint32_t v;

	memcpy(&v, p, sizeof(v));
	return ntohl(v);
}

static void fhbss_stamp(struct fhbss *f)
{
	if (clock_gettime(CLOCK_REALTIME, &f->updated_at) < 0) {
		f->updated_at.tv_sec = 0;
		f->updated_at.tv_nsec = 0;
	}
}

// Copies a NUL-padded text field of at most `max` characters up to its
// first NUL; the rest of `dst` is zeroed.
static void copy_text_field(char *dst, size_t size, const uint8_t *src, size_t max)
{
	size_t n = strnlen((const char *)src, max);

	memset(dst, 0, size);
	memcpy(dst, src, n);
}

void update_fronthaul_bsslist(struct cntlr *, char *resp, int, void *priv)
{
	struct node *n = static_cast<struct node *>(priv);
	uint8_t buf[BSS_INFO_REPLY_LEN];
	int32_t channel, num_bss;

	memset(buf, 0, sizeof(buf));
	// Decoding stops at the text's end or at the first non-hex pair;
	// whatever is not covered reads as zero, so missing entries show up
	// with a zero BSSID and are skipped below.
	if (resp)
		strtob(resp, sizeof(buf), buf);

	channel = (int32_t)get_be32(buf + 4);
	num_bss = (int32_t)get_be32(buf + 8);
	if (num_bss > BSS_INFO_MAX_BSS) {
		log_message(LOG_LEVEL_TRACE, PLAIN_MSG("GET_BSSINFO num_bss = %d > %d !\n"), num_bss,
			    BSS_INFO_MAX_BSS);
		return;
	}

	for (int i = 0; i < num_bss; i++) {
		const uint8_t *e = buf + BSS_INFO_HDR_LEN + BSS_INFO_ENTRY_LEN * i;
		const uint8_t *bssid = e + BSS_ENTRY_BSSID;
		char ifname[sizeof(((struct fhbss *)nullptr)->ifname)];
		char ifname_text[sizeof(ifname) + 1];
		// The entry's field has room for 33 characters; at most 32 are
		// taken so the stored SSID always ends in a NUL.
		char ssid[sizeof(((struct fhbss *)nullptr)->ssid)];
		uint32_t bssid_info;
		uint8_t opclass, phy_type;
		struct fhbss *f, *found = nullptr;

		if (hwaddr_is_zero(bssid)) {
			log_message(LOG_LEVEL_VERBOSE, "GET_BSSINFO ret macaddr zero; don't update yet\n");
			continue;
		}

		copy_text_field(ifname, sizeof(ifname), e + BSS_ENTRY_IFNAME, sizeof(ifname));
		copy_text_field(ifname_text, sizeof(ifname_text), e + BSS_ENTRY_IFNAME,
				sizeof(ifname));
		copy_text_field(ssid, sizeof(ssid), e + BSS_ENTRY_SSID, sizeof(ssid) - 1);
		bssid_info = get_be32(e + BSS_ENTRY_BSSID_INFO);
		opclass = e[BSS_ENTRY_OPCLASS];
		phy_type = e[BSS_ENTRY_PHY_TYPE];

		log_message(LOG_LEVEL_TRACE, TRACE_MSG("[%d] node   = %s\n"), i,
			    n->is_local ? "local" : inet_ntoa(n->ipaddr));
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("[%d] ifname = %s\n"), i, ifname_text);
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("[%d] bssid  = %02x:%02x:%02x:%02x:%02x:%02x\n"), i,
			    MAC2STR(bssid));
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("[%d] ssid   = %s\n"), i, ssid);
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("[%d] channel= %d\n"), i, channel);

		list_for_each_entry(f, &n->fhbsslist, list) {
			if (!memcmp(f->bssid, bssid, sizeof(f->bssid))) {
				found = f;
				break;
			}
		}

		if (found) {
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("Update fronthaul BSS %02x:%02x:%02x:%02x:%02x:%02x for node %s\n"),
				    MAC2STR(found->bssid), n->is_local ? "local" : "remote");
			// The name and a known SSID stay as first learnt: other
			// parts hold on to them (watchlist, station tracking).
			if (found->ssid[0] == '\0')
				memcpy(found->ssid, ssid, sizeof(found->ssid));
			found->bssid_info = bssid_info;
			found->opclass = opclass;
			found->channel = channel;
			found->phy_type = phy_type;
			fhbss_stamp(found);
			continue;
		}

		f = static_cast<struct fhbss *>(MTRACE_MALLOC(sizeof(struct fhbss)));
		if (!f) {
			log_message(LOG_LEVEL_ERROR, ERROR_MSG("OOM: fhbss entry malloc failed!\n"));
			continue;
		}
		memset(f, 0, sizeof(*f));
		memcpy(f->ifname, ifname, sizeof(f->ifname));
		memcpy(f->ssid, ssid, sizeof(f->ssid));
		memcpy(f->bssid, bssid, sizeof(f->bssid));
		f->bssid_info = bssid_info;
		f->opclass = opclass;
		f->channel = channel;
		f->phy_type = phy_type;
		fhbss_stamp(f);
		list_add(&f->list, &n->fhbsslist);
		log_message(LOG_LEVEL_TRACE,
			    TRACE_MSG("%s: Add fronthaul BSS %02x:%02x:%02x:%02x:%02x:%02x for node\n"),
			    __func__, MAC2STR(f->bssid));
	}
}

void node_bssinfo_timer(struct uloop_timeout *t)
{
	struct node *n = container_of(t, struct node, bssinfo_timer);

	cntlr_send_cmd(n->cntlr, n->agent_id, CMD_GET_BSS_INFO, nullptr, 0,
		       update_fronthaul_bsslist, n);
	// Re-armed whatever the command gave: a silent agent is asked again.
	uloop_timeout_set(t, n->cntlr->cfg.bss_refresh_interval * 1000);
}

struct node *find_node_by_bssid(struct cntlr *c, const uint8_t *bssid)
{
	struct node *n;
	struct fhbss *f;

	list_for_each_entry(n, &c->nodelist, list) {
		list_for_each_entry(f, &n->fhbsslist, list) {
			if (!memcmp(f->bssid, bssid, sizeof(f->bssid)))
				return n;
		}
	}
	return nullptr;
}
