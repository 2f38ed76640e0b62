// The active station table: one record per client station the controller
// believes associated somewhere in the mesh, in 64 singly linked chains
// keyed by the last three bytes of the station address.
//
// The table owns its records: they are created only by as_update_entry and
// released only by as_clean_entry. A record pointer obtained from the table
// is used within the same loop callback and not kept.
//
// The table is bounded: it holds at most AS_MAX_STA records (a new station
// evicts the least recently heard one), and a station not heard of for
// AS_MAX_AGE_SEC is dropped. Records are also on a list ordered by when they
// were last heard of (an association, an association list, a low-RSSI
// report), least recently first.
#pragma once

#include <cstdint>

#include "src/bus.h"

#define AS_TABLE_SIZE 64
#define AS_NO_RSSI (-127)
#define AS_MAX_STA 4096
#define AS_MAX_AGE_SEC (24 * 3600)

struct active_sta {
	uint8_t macaddr[6];
	uint8_t bssid[6];
	uint8_t old_bssid[6];     // the BSS before the last move; zero: none
	int32_t rssi;             // last "lowrssi" report, dBm
	int32_t best_nbr_rssi;    // best neighbour measurement; -127: none
	uint8_t best_nbr_bssid[6];
	struct active_sta *next;  // next record of the same chain
	uint32_t last_heard;      // monotonic seconds
	struct list_head heard;   // on the heard list, least recently first
};

// Bucket of a MAC address: (m[3] ^ m[4] ^ m[5]) & 0x3f.
static inline unsigned int as_bucket(const uint8_t *m)
{
	return (m[3] ^ m[4] ^ m[5]) & 0x3f;
}

// Stores the address of the process-wide table into *field.
void as_table_attach(struct active_sta ***field);

// The station's record, or null; the all-zero address is never found.
struct active_sta *as_lookup(struct active_sta **table, const uint8_t *macaddr);
// Records that the station is on `bssid`: a new record, or the current BSS
// moved to old_bssid when it differs. Null when the allocation fails or the
// address is all zero (such a record could never be found again).
struct active_sta *as_update_entry(struct active_sta **table, const uint8_t *macaddr,
				   const uint8_t *bssid);
// Allocates a record and puts it at the head of its chain; used by
// as_update_entry after a failed lookup.
struct active_sta *create_entry(struct active_sta **table, const uint8_t *macaddr,
				const uint8_t *bssid);
// The station left `bssid`: when that is the BSS it roamed away from, only
// old_bssid is cleared; otherwise the record is unlinked and freed, so a
// pointer to it held by the caller is dead afterwards.
void as_clean_entry(struct active_sta **table, const uint8_t *macaddr, const uint8_t *bssid);
// Logs every record, bucket by bucket, newest first within a chain; walks
// nothing when the log would not take the lines.
void as_dump(struct active_sta **table);
// The station was heard of (a report about it): it moves to the end of the
// heard list.
void as_touch(struct active_sta **table, struct active_sta *s);
// Drops the stations not heard of for AS_MAX_AGE_SEC at `now` (monotonic
// seconds); as_update_entry does this on every call.
void as_expire(struct active_sta **table, uint32_t now);
// Number of records.
int as_count(void);
// Removes every record through as_clean_entry, chain by chain: the
// daemon's release at the end of its run, and tests leaving the
// process-wide table empty.
void as_clean_all(struct active_sta **table);
