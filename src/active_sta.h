// The active station table: one record per client station the controller
// believes associated somewhere in the mesh, in 64 singly linked chains
// keyed by the last three bytes of the station address.
//
// The table owns its records: they are created only by as_update_entry and
// released only by as_clean_entry. A record pointer obtained from the table
// is used within the same loop callback and not kept.
#pragma once

#include <cstdint>

#define AS_TABLE_SIZE 64
#define AS_NO_RSSI (-127)

struct active_sta {
	uint8_t macaddr[6];
	uint8_t bssid[6];
	uint8_t old_bssid[6];     // the BSS before the last move; zero: none
	int32_t rssi;             // last "lowrssi" report, dBm
	int32_t best_nbr_rssi;    // best neighbour measurement; -127: none
	uint8_t best_nbr_bssid[6];
	int64_t last_event;       // monotonic seconds of its last event; set by the controller
	struct active_sta *next;  // next record of the same chain
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
// Logs every record, bucket by bucket, newest first within a chain.
void as_dump(struct active_sta **table);
// Removes every record through as_clean_entry, chain by chain. The daemon
// keeps its stations until it exits; tests use this to leave the
// process-wide table empty.
void as_clean_all(struct active_sta **table);
