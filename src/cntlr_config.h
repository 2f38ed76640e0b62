// The controller's tunables and the record of its decisions.
//
// The configuration is a plain value inside the controller record: the
// defaults are the values the controller always used, so a controller
// nobody configures behaves as before. set_config over the bus replaces it
// as a whole or not at all.
//
// The history is one process-wide ring of HISTORY_LEN entries, oldest
// overwritten first: it never grows, whatever the mesh does. Entries are
// plain values copied in; nothing points into the ring from outside.
#pragma once

#include <cstdint>

struct cntlr;
struct blob_attr;
struct blob_buf;

#define STEER_EXCLUDE_EXTRA_MAX 8

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
// The string "ubus_rpc_session" of an argument table, or null. The router's
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

enum hist_kind {
	HIST_STEER,
	HIST_NO_STEER,
	HIST_DISCONNECT,
	HIST_DUPLICATE,
	HIST_RADAR,
	HIST_CHANNEL_RESTORE,
	HIST_NODE_ADDED,
	HIST_NODE_REMOVED,
	__HIST_KIND_MAX,
};

// Why a decision went as it did: each names its sentence, and what the
// entry's numbers (n0..n3) and addresses hold for it. An entry of an action
// the controller took (steer, duplicate, radar, channel_restore) carries
// the bus status of its command: not 0, the sentence says it failed.
enum hist_why {
	WHY_STEER,           // n: signal, threshold, neighbor signal, margin; target: to
	WHY_NS_UNKNOWN,      // n: signal
	WHY_NS_OFF,          //
	WHY_NS_EXCLUDED,     //
	WHY_NS_NOT_BELOW,    // n: signal, threshold
	WHY_NS_NO_NEIGHBOR,  // n: the measurement age limit, boxes that did not answer
	WHY_NS_MARGIN,       // n: neighbor signal, difference, margin; target: neighbor
	WHY_LEFT,            // bssid: left, target: now on; n: left that too, bus status
	WHY_DUPLICATE,       // extra: the client; target: the BSS it joined
	WHY_RADAR,           // extra: the box; n: its IPv4 address, channel, hold
	WHY_CHANNEL_RESTORE, // n: channel
	WHY_NODE_ADDED,      // extra: the box; n: its IPv4 address (0: the router)
	WHY_NODE_REMOVED,    // extra: the box; n: its IPv4 address, watched for radar
	__WHY_MAX,
};

#define HISTORY_LEN 256
#define HISTORY_REASON_LEN 192

#define HIST_HAS_STA 1
#define HIST_HAS_BSSID 2
#define HIST_HAS_TARGET 4

// The sentence is made when the entry is read, from `why` and the numbers:
// an entry takes 48 bytes instead of a text's worth.
struct hist_entry {
	uint32_t time; // seconds since the controller started
	uint8_t kind;  // enum hist_kind
	uint8_t why;   // enum hist_why
	uint8_t has;   // HIST_HAS_*
	uint8_t sta[6];
	uint8_t bssid[6];
	uint8_t target[6];
	uint8_t extra[6];
	uint8_t status; // the action's bus status; 0: done
	int32_t num[4];
};

// "steer", "no_steer", ...; null for no kind.
const char *hist_kind_name(int kind);
// Records a decision (null addresses are left out) and, for steer,
// disconnect and radar, raises "aircoord.<kind>" with the entry's fields.
// `status`: the bus status of the action's command.
void cntlr_history_add(struct cntlr *c, int why, const uint8_t *sta, const uint8_t *bssid,
		       const uint8_t *target, const uint8_t *extra, int32_t n0 = 0, int32_t n1 = 0,
		       int32_t n2 = 0, int32_t n3 = 0, int status = 0);
// Entries held (at most HISTORY_LEN) and the i-th of them, oldest first.
int cntlr_history_count(void);
const struct hist_entry *cntlr_history_at(int i);
// The entry's sentence, with the BSSes named as the mesh knows them now;
// `buf` holds HISTORY_REASON_LEN bytes.
const char *hist_reason(struct cntlr *c, const struct hist_entry *e, char *buf);
// The entry as members of `b`: time, kind, sta, bssid, target, reason.
void hist_entry_to_blob(struct cntlr *c, const struct hist_entry *e, struct blob_buf *b);
// Empties the ring (tests start from nothing).
void cntlr_history_clear(void);
