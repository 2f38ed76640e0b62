#include "src/cmd.h"

#include <cstdint>
#include <cstring>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_bus.h"
#include "src/cntlr_config.h"
#include "src/cntlr_health.h"
#include "src/log.h"

static const char *const cmd_names[CMD_MAX + 1] = {
	[CMD_UNDEFINED] = "UNDEFINED",
	[CMD_SCAN] = "SCAN",
	[CMD_STEER_POLICY] = "STEER_POLICY",
	[CMD_STEER_EXCLUDE] = "STEER_EXCLUDE",
	[CMD_STEER_EXCLUDE_DEL] = "STEER_EXCLUDE_DEL",
	[CMD_STEER] = "STEER",
	[CMD_ACCESS_CONTROL] = "ACCESS_CONTROL",
	[CMD_GET_RADIO_INFO] = "GET_RADIO_INFO",
	[CMD_GET_BSS_INFO] = "GET_BSS_INFO",
	[CMD_GET_ASSOCLIST] = "GET_ASSOCLIST",
	[CMD_MONITOR_STA] = "MONITOR_STA",
	[CMD_GET_MONITOR_STA] = "GET_MONITOR_STA",
	[CMD_ADD_NEIGHBOR] = "ADD_NEIGHBOR",
	[CMD_DEL_NEIGHBOR] = "DEL_NEIGHBOR",
	[CMD_CHANNEL_PLAN] = "CHANNEL_PLAN",
	[CMD_GET_SCANRES] = "GET_SCANRES",
	[CMD_SET_PARAM] = "SET_PARAM",
	[CMD_GET_MOBID] = "GET_MOBID",
	[CMD_GET_OUI] = "GET_OUI",
};

enum {
	CMD_RESP_ID,
	CMD_RESP_DATA,
	__CMD_RESP_MAX,
};

static const struct blobmsg_policy cmd_resp_policy[__CMD_RESP_MAX] = {
	[CMD_RESP_ID] = {"id", BLOBMSG_TYPE_INT32},
	[CMD_RESP_DATA] = {"cmd_resp", BLOBMSG_TYPE_STRING},
};

static bool cmd_id_valid(int id)
{
	return id >= CMD_SCAN && id <= CMD_MAX;
}

const char *cmd_name(int id)
{
	// id 0 has a table entry but is never a command, so it prints as any
	// other unknown id.
	if (!cmd_id_valid(id))
		return "Undefined";
	return cmd_names[id];
}

void cmd_resphandler(struct ubus_request *req, int, struct blob_attr *msg)
{
	cmd_handle_resp(static_cast<struct agent_cmd *>(req->priv), msg);
}

void cmd_handle_resp(struct agent_cmd *cmd, struct blob_attr *msg)
{
	struct blob_attr *tb[__CMD_RESP_MAX];
	char resp[CMD_RESP_MAX];
	int len = 0;

	log_message(LOG_LEVEL_TRACE, TRACE_MSG("CMD_Resphandler::: (&cmd = %p , CMD = %s)\n"),
		    (void *)cmd, cmd_name(cmd->id));
	if (!cmd->resp_cb)
		return;

	memset(resp, 0, sizeof(resp));
	// Missing or mistyped attributes are simply absent; the parser's own
	// verdict adds nothing.
	blobmsg_parse(cmd_resp_policy, __CMD_RESP_MAX, tb, blob_data(msg), blob_len(msg));

	if (tb[CMD_RESP_ID]) {
		int32_t rid = (int32_t)blobmsg_get_u32(tb[CMD_RESP_ID]);

		if (rid != cmd->id) {
			log_message(LOG_LEVEL_TRACE, TRACE_MSG("Cntlr Cmd-Resp mismatch (%d, %d)\n"),
				    cmd->id, rid);
			return;
		}
	}

	if (tb[CMD_RESP_DATA]) {
		size_t dlen = blobmsg_data_len(tb[CMD_RESP_DATA]);

		// An agent may answer more than the buffer holds. The callers'
		// records are all far smaller than the buffer, so the reply is cut
		// and handed over; the last byte stays the terminator.
		if (dlen > sizeof(resp)) {
			log_message(LOG_LEVEL_TRACE,
				    TRACE_MSG("CMD %s response of %zu bytes cut to %d\n"),
				    cmd_name(cmd->id), dlen, CMD_RESP_MAX);
			dlen = sizeof(resp);
		}
		memcpy(resp, blobmsg_data(tb[CMD_RESP_DATA]), dlen);
		resp[sizeof(resp) - 1] = '\0';
		len = (int)dlen;
	}

	cmd->resp_cb(cmd->cntlr, resp, len, cmd->priv);
}

int cntlr_invoke_cmd(struct cntlr *cntlr, uint32_t agent_id, struct agent_cmd *cmd)
{
	struct blob_buf b;
	int ret;

	// On the way out nothing more is sent: a hung agent would hold the
	// stop for the whole time-out.
	if (cntlr_stopping())
		return UBUS_STATUS_TIMEOUT;
	// While the bus is lost nothing reaches an agent.
	if (cntlr_bus_down(cntlr))
		return UBUS_STATUS_CONNECTION_FAILED;
	if (cntlr_health_skip(cntlr, agent_id, cmd_name(cmd->id)))
		return UBUS_STATUS_TIMEOUT;

	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", (uint32_t)cmd->id);
	if (cmd->data)
		blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, "data", cmd->data,
				  strlen(cmd->data) + 1);

	ret = ubus_invoke_fd(cntlr->ctx, agent_id, "cmd", b.head, cmd_resphandler, cmd,
			     cmd->timeout * 1000, -1);
	if (ret)
		log_message(LOG_LEVEL_ERROR,
			    ERROR2_MSG("CNTLR: Cntlr CMD %s failed (ret = %s)\n"),
			    cmd_name(cmd->id), ubus_strerror(ret));

	blob_buf_free(&b);
	if (ret == UBUS_STATUS_TIMEOUT)
		cntlr_health_timed_out(cntlr, agent_id, cmd_name(cmd->id));
	return ret;
}

int cntlr_send_cmd(struct cntlr *cntlr, uint32_t agent_id, int id, const char *data,
		   int data_len, cmd_resp_cb resp_cb, void *priv)
{
	struct agent_cmd cmd = {
		.id = id,
		.data_len = data_len,
		.data = data,
		.timeout = cntlr_cmd_timeout(cntlr),
		.resp_cb = resp_cb,
		.cntlr = cntlr,
		.priv = priv,
	};

	log_message(LOG_LEVEL_CMD, CMD_MSG("Sending CMD %s  (&cmd = %p,  agent = %p) --->\n"),
		    cmd_name(id), (void *)&cmd, (void *)(uintptr_t)agent_id);

	if (!cmd_id_valid(id)) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Cntlr: Unknown CMD '%d'\n"), id);
		return -1;
	}

	return cntlr_invoke_cmd(cntlr, agent_id, &cmd);
}
