// Placeholder: replaced by the real implementation.
#include "src/cmd.h"

const char *cmd_name(int) { return "Undefined"; }
int cntlr_send_cmd(struct cntlr *, uint32_t, int, const char *, int, cmd_resp_cb, void *) { return -1; }
int cntlr_invoke_cmd(struct cntlr *, uint32_t, struct agent_cmd *) { return -1; }
void cmd_resphandler(struct ubus_request *, int, struct blob_attr *) {}
