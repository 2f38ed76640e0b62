// The controller's tunables (cntlr_config.cc).
//
// The configuration is a plain value inside the controller record: the
// defaults are the values the controller always used, so a controller
// nobody configures behaves as before. set_config over the bus replaces it
// as a whole or not at all.
#pragma once

#include <cstdint>

#include "src/bus.h"

struct cntlr;
struct blob_attr;
struct blob_buf;

#define STEER_EXCLUDE_EXTRA_MAX 8

// A member per setting, named as the setting is on the bus (the table in
// cntlr_config.cc lists them), and the count of the list's entries.
struct cntlr_config {
	int32_t steer_rssi_threshold; // dBm: steer only below it
	int32_t steer_rssi_margin;    // dB: a neighbor must be more than this stronger
	int32_t steer_max_age;        // s: neighbor measurements older than this are ignored
	int32_t neighbor_interval;    // s: neighbor pass period
	int32_t bss_refresh_interval; // s: GET_BSS_INFO period per box
	int32_t cmd_timeout;          // s: how long an agent has to answer a command
	int32_t radar_channel;        // where the router goes when an extender saw radar
	int32_t radar_hold;           // s: how long it stays there
	uint8_t steering;             // steer weak stations at all
	uint8_t roam_cleanup;         // drop roamed stations from the BSS they left
	uint8_t duplicate_removal;    // drop repeaters' copies of a client
	int32_t num_steer_exclude_extra;
	uint8_t steer_exclude_extra[STEER_EXCLUDE_EXTRA_MAX][6]; // never steered
};

void cntlr_config_defaults(struct cntlr_config *cfg);
// set_config's signature on the bus: every setting by name with its type.
#define CNTLR_NSETTINGS 12
struct cntlr_config_policy {
	struct blobmsg_policy key[CNTLR_NSETTINGS];
};
extern const struct cntlr_config_policy set_config_policy;
// Reads a set_config argument table: `out` becomes `cur` with the given
// keys changed. UBUS_STATUS_OK, or UBUS_STATUS_INVALID_ARGUMENT for an
// unknown key, a wrong type or a value out of range (`out` is left as
// `cur`, and `why` names the key, the value and what is allowed:
// "steer_rssi_margin: 50 is out of range 0..40"). `why` holds `why_len`
// bytes; CNTLR_WHY_LEN hold any reason. The one place that decides what a
// setting may be, for set_config and the settings file alike.
#define CNTLR_WHY_LEN 128
int cntlr_config_parse(const struct cntlr_config *cur, struct blob_attr *msg,
		       struct cntlr_config *out, char *why, int why_len);
// The caller's session string of an argument table, or null. The router's
// web and RPC gateways add it to every call they forward: every method
// takes it and ignores it.
struct blob_attr *cntlr_args_session(struct blob_attr *msg);
// Makes `next` the configuration and re-arms the timers whose period
// changed; a changed exclusion list goes out to the agents from the loop
// (resync_timer), so that the caller never waits on an agent.
void cntlr_config_apply(struct cntlr *c, const struct cntlr_config *next);
// The attributes in `len` bytes at `data`, each within its bounds; -1 when
// one is not. Argument checks count them to find members no policy took.
int cntlr_blob_count(const void *data, int len);
// Every tunable as a member of `b`.
void cntlr_config_to_blob(const struct cntlr_config *cfg, struct blob_buf *b);
// 1 when `sta` is on the configured exclusion list.
int cntlr_config_excluded(const struct cntlr_config *cfg, const uint8_t *sta);
// The command time-out in seconds (the default for a record without one).
int cntlr_cmd_timeout(const struct cntlr *c);
