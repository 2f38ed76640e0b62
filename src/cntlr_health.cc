// Agent health: a box whose agent stops answering must not hold the
// controller up. Every command waits for its agent, so one hung agent would
// cost 8 s per command sent to it. A time-out alone proves little (an agent
// may ignore one kind of command and answer the rest), so it is followed by
// a short probe; a node that misses that too is unresponsive, and commands
// to it fail at once until it answers one of the probes sent every few
// seconds from the loop. The probe is GET_BSS_INFO, which only reads, and
// whose reply refreshes the node's BSS list like any other.
//
// The re-probe is the daemon's one asynchronous request. The router's bus
// library runs its callbacks as soon as the reply is read, which may be in
// the middle of a pass, nested inside one of the pass's synchronous calls.
// So its callbacks only note what they learnt and arm the node's timer for
// 0 ms; the work (the BSS list, the node's state, the log) is done there,
// from the loop. An asynchronous callback never sends a command, frees a
// record or changes a list that a pass may be walking.
#include <arpa/inet.h>

#include <cstring>

#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_health.h"
#include "src/log.h"

// "local", or the node's address.
static const char *node_label(const struct node *n, char *buf, size_t len)
{
	if (n->is_local || !inet_ntop(AF_INET, &n->ipaddr, buf, (socklen_t)len))
		return "local";
	return buf;
}

static struct node *node_by_agent(struct cntlr *c, uint32_t agent_id)
{
	struct node *n;

	if (agent_id == (uint32_t)-1)
		return nullptr;
	list_for_each_entry(n, &c->nodelist, list) {
		if (n->agent_id == agent_id)
			return n;
	}
	return nullptr;
}

// The probe's record, as every sender of GET_BSS_INFO fills it.
static struct agent_cmd probe_cmd(struct node *n)
{
	struct agent_cmd cmd = {
		.id = CMD_GET_BSS_INFO,
		.data_len = 0,
		.data = nullptr,
		.timeout = CNTLR_PROBE_TIMEOUT_MS / 1000,
		.resp_cb = update_fronthaul_bsslist,
		.cntlr = n->cntlr,
		.priv = n,
	};

	return cmd;
}

static void probe_msg(struct blob_buf *b)
{
	memset(b, 0, sizeof(*b));
	blob_buf_init(b, 0);
	blobmsg_add_u32(b, "id", CMD_GET_BSS_INFO);
}

int node_health_skip(struct node *n, const char *what)
{
	char ip[INET_ADDRSTRLEN];

	if (!n->unresponsive)
		return 0;
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Node %s unresponsive: %s not sent\n"),
		    node_label(n, ip, sizeof(ip)), what);
	return 1;
}

void node_health_timed_out(struct node *n, const char *what)
{
	struct agent_cmd cmd = probe_cmd(n);
	char ip[INET_ADDRSTRLEN];
	struct blob_buf b;
	int ret;

	// A call cut short by a stop signal says nothing about the agent.
	if (n->unresponsive || cntlr_stopping())
		return;
	log_message(LOG_LEVEL_TRACE, TRACE_MSG("Probing node %s: %s timed out\n"),
		    node_label(n, ip, sizeof(ip)), what);
	probe_msg(&b);
	ret = ubus_invoke(n->cntlr->ctx, n->agent_id, "cmd", b.head, cmd_resphandler, &cmd,
			  CNTLR_PROBE_TIMEOUT_MS);
	blob_buf_free(&b);
	// Any answer, an error status included, shows that the agent works.
	if (ret != UBUS_STATUS_TIMEOUT)
		return;

	n->unresponsive = 1;
	log_message(LOG_LEVEL_ERROR,
		    ERROR_MSG("Node %s does not answer: %s timed out, and so did a probe\n"),
		    node_label(n, ip, sizeof(ip)), what);
	n->probe_timer.cb = node_probe_timer;
	uloop_timeout_set(&n->probe_timer, CNTLR_REPROBE_MS);
}

int cntlr_health_skip(struct cntlr *c, uint32_t agent_id, const char *what)
{
	struct node *n = node_by_agent(c, agent_id);

	return n ? node_health_skip(n, what) : 0;
}

void cntlr_health_timed_out(struct cntlr *c, uint32_t agent_id, const char *what)
{
	struct node *n = node_by_agent(c, agent_id);

	if (n)
		node_health_timed_out(n, what);
}

// Keeps the re-probe's reply text for node_probe_timer.
static void node_probe_note(struct cntlr *, char *resp, int len, void *priv)
{
	struct node *n = static_cast<struct node *>(priv);
	size_t keep = len > 0 ? strnlen(resp, sizeof(n->probe_resp) - 1) : 0;

	memcpy(n->probe_resp, resp, keep);
	n->probe_resp[keep] = '\0';
	n->probe_resp_len = len > 0 ? (int32_t)keep + 1 : 0;
}

static void node_probe_data(struct ubus_request *req, int, struct blob_attr *msg)
{
	struct node *n = container_of(req, struct node, probe_req);
	struct agent_cmd cmd = probe_cmd(n);

	cmd.resp_cb = node_probe_note;
	cmd_handle_resp(&cmd, msg);
}

static void node_probe_done(struct ubus_request *req, int ret)
{
	struct node *n = container_of(req, struct node, probe_req);

	n->probing = 0;
	// Our own bus is gone, not the agent (the router's library ends the
	// request as timed out then): the timer tries again.
	if (ret == UBUS_STATUS_CONNECTION_FAILED || ret == UBUS_STATUS_TIMEOUT)
		return;
	n->probe_answered = 1;
	uloop_timeout_set(&n->probe_timer, 0);
}

// The re-probe was answered: its reply refreshes the BSS list, and the node
// is driven as before.
static void node_probe_answered(struct node *n)
{
	char ip[INET_ADDRSTRLEN];

	n->probe_answered = 0;
	if (n->probe_resp_len)
		update_fronthaul_bsslist(n->cntlr, n->probe_resp, n->probe_resp_len, n);
	n->probe_resp_len = 0;
	n->unresponsive = 0;
	log_message(LOG_LEVEL_INFO, INFO_MSG("Node %s answers again\n"),
		    node_label(n, ip, sizeof(ip)));
	// What it missed meanwhile goes out from the loop, not from here: this
	// may run inside another call's wait.
	n->restarted = 1;
	uloop_timeout_set(&n->cntlr->resync_timer, 0);
}

void node_probe_timer(struct uloop_timeout *t)
{
	struct node *n = container_of(t, struct node, probe_timer);
	struct ubus_context *ctx = n->cntlr->ctx;
	struct blob_buf b;

	if (n->probe_answered) {
		node_probe_answered(n);
		return;
	}
	if (n->probing) {
		ubus_abort_request(ctx, &n->probe_req);
		n->probing = 0;
		uloop_timeout_set(t, CNTLR_REPROBE_MS - CNTLR_PROBE_TIMEOUT_MS);
		return;
	}

	if (cntlr_bus_down(n->cntlr)) {
		uloop_timeout_set(t, CNTLR_REPROBE_MS);
		return;
	}
	probe_msg(&b);
	n->probe_resp_len = 0;
	if (ubus_invoke_async(ctx, n->agent_id, "cmd", b.head, &n->probe_req) == 0) {
		n->probe_req.data_cb = node_probe_data;
		n->probe_req.complete_cb = node_probe_done;
		n->probe_req.priv = n;
		n->probing = 1;
		ubus_complete_request_async(ctx, &n->probe_req);
		uloop_timeout_set(t, CNTLR_PROBE_TIMEOUT_MS);
	} else {
		uloop_timeout_set(t, CNTLR_REPROBE_MS);
	}
	blob_buf_free(&b);
}

void node_health_release(struct node *n)
{
	if (n->probing)
		ubus_abort_request(n->cntlr->ctx, &n->probe_req);
	n->probing = 0;
	n->probe_answered = 0;
	n->unresponsive = 0;
	uloop_timeout_cancel(&n->probe_timer);
}
