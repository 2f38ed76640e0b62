// The record of the controller's decisions (cntlr_history.cc).
//
// The history is one process-wide ring of HISTORY_LEN entries, oldest
// overwritten first: it never grows, whatever the mesh does. Entries are
// plain values copied in; nothing points into the ring from outside.
#pragma once

#include "src/cntlr.h"

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
static_assert(sizeof(struct hist_entry) == 48, "the ring holds 48-byte entries");

// "steer", "no_steer", ...; null for no kind.
const char *hist_kind_name(int kind);

// A decision as the code that made it tells it, each field by name:
//   cntlr_history_add(c, {.why = WHY_NODE_ADDED, .extra = mac, .num = {ip}});
// An address left null is left out of the entry; `num` holds what enum
// hist_why says for `why`, `status` the bus status of the action's command.
struct hist_note {
	enum hist_why why;
	const uint8_t *sta = nullptr;
	const uint8_t *bssid = nullptr;
	const uint8_t *target = nullptr;
	const uint8_t *extra = nullptr;
	int32_t num[4] = {};
	int status = 0;
};

// Records a decision and, for steer, disconnect and radar, raises
// "aircoord.<kind>" with the entry's fields.
void cntlr_history_add(struct cntlr *c, const struct hist_note &note);
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
