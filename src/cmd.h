// The command channel to the Wi-Fi agents: method "cmd" of each box's
// wifi.agent object, with a command id and an optional hex payload text.
// A command is synchronous: the reply callback has run when the send returns.
#pragma once

#include <cstdint>

struct cntlr;
struct ubus_request;
struct blob_attr;

enum cmd_id {
	CMD_UNDEFINED = 0,
	CMD_SCAN = 1,
	CMD_STEER_POLICY = 2,
	CMD_STEER_EXCLUDE = 3,
	CMD_STEER_EXCLUDE_DEL = 4,
	CMD_STEER = 5,
	CMD_ACCESS_CONTROL = 6,
	CMD_GET_RADIO_INFO = 7,
	CMD_GET_BSS_INFO = 8,
	CMD_GET_ASSOCLIST = 9,
	CMD_MONITOR_STA = 10,
	CMD_GET_MONITOR_STA = 11,
	CMD_ADD_NEIGHBOR = 12,
	CMD_DEL_NEIGHBOR = 13,
	CMD_CHANNEL_PLAN = 14,
	CMD_GET_SCANRES = 15,
	CMD_SET_PARAM = 16,
	CMD_GET_MOBID = 17,
	CMD_GET_OUI = 18,
	CMD_MAX = CMD_GET_OUI,
};

#define CMD_TIMEOUT_SEC 8
#define CMD_RESP_MAX 3072

// Called with the reply: `resp` holds the response text followed by zeros
// (CMD_RESP_MAX bytes, valid during the call only); `len` counts the bytes
// copied, terminating NUL included, 0 without a response text.
typedef void (*cmd_resp_cb)(struct cntlr *cntlr, char *resp, int len, void *priv);

struct agent_cmd {
	int32_t id;
	int32_t data_len;
	const char *data;
	int32_t timeout; // seconds
	cmd_resp_cb resp_cb;
	struct cntlr *cntlr;
	void *priv;
};

const char *cmd_name(int id);

// Sends command `id` to the agent object `agent_id` and waits for the reply.
// 0 on success, -1 for an unknown id, else the bus status.
int cntlr_send_cmd(struct cntlr *cntlr, uint32_t agent_id, int id, const char *data,
		   int data_len, cmd_resp_cb resp_cb, void *priv);
int cntlr_invoke_cmd(struct cntlr *cntlr, uint32_t agent_id, struct agent_cmd *cmd);
void cmd_resphandler(struct ubus_request *req, int type, struct blob_attr *msg);
// What cmd_resphandler does with one reply `msg` to `cmd`.
void cmd_handle_resp(struct agent_cmd *cmd, struct blob_attr *msg);
