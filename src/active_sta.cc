#include "src/active_sta.h"

#include <cstring>
#include <ctime>

#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

// One table for the whole process; a station's record lives here from its
// first association until its disassociation (or until it is evicted or too
// old), whatever node reported it.
static struct active_sta *as_table[AS_TABLE_SIZE];
// Every record of the table, least recently heard of first.
static struct list_head as_heard = LIST_HEAD_INIT(as_heard);
static int as_records;

static uint32_t as_now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint32_t)ts.tv_sec;
}

int as_count(void)
{
	return as_records;
}

// Removes a record by its own address and BSS, which as_clean_entry takes
// as a disassociation from the current BSS.
static void as_remove(struct active_sta **table, struct active_sta *s)
{
	uint8_t mac[6], bssid[6];

	memcpy(mac, s->macaddr, 6);
	memcpy(bssid, s->bssid, 6);
	as_clean_entry(table, mac, bssid);
}

void as_touch(struct active_sta **, struct active_sta *s)
{
	s->last_heard = as_now();
	list_del(&s->heard);
	list_add_tail(&s->heard, &as_heard);
}

void as_expire(struct active_sta **table, uint32_t now)
{
	while (!list_empty(&as_heard)) {
		struct active_sta *s = list_first_entry(&as_heard, struct active_sta, heard);
		uint32_t age = now - s->last_heard;

		if (age < AS_MAX_AGE_SEC)
			break;
		log_message(LOG_LEVEL_TRACE,
			    PLAIN_MSG("Drop STA " MACFMT ": not heard of for %u s\n"),
			    MAC2STR(s->macaddr), age);
		as_remove(table, s);
	}
}

void as_table_attach(struct active_sta ***field)
{
	*field = as_table;
}

struct active_sta *as_lookup(struct active_sta **table, const uint8_t *macaddr)
{
	if (hwaddr_is_zero(macaddr))
		return nullptr;

	for (struct active_sta *s = table[as_bucket(macaddr)]; s; s = s->next) {
		if (!memcmp(s->macaddr, macaddr, 6))
			return s;
	}
	return nullptr;
}

struct active_sta *create_entry(struct active_sta **table, const uint8_t *macaddr,
				const uint8_t *bssid)
{
	unsigned int b = as_bucket(macaddr);
	struct active_sta *s;

	// The all-zero address means "unset" and is never found again: a
	// record for it could only leak, one per report.
	if (hwaddr_is_zero(macaddr))
		return nullptr;

	// Randomised client addresses would otherwise grow the table without
	// end.
	if (as_records >= AS_MAX_STA) {
		struct active_sta *old = list_first_entry(&as_heard, struct active_sta, heard);

		log_message(LOG_LEVEL_TRACE,
			    PLAIN_MSG("Evict STA " MACFMT ": table full (%d stations)\n"),
			    MAC2STR(old->macaddr), as_records);
		as_remove(table, old);
	}

	s = (struct active_sta *)MTRACE_CALLOC(1, sizeof(*s));
	if (!s) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("OOM: active_sta calloc failed!\n"));
		return nullptr;
	}
	memcpy(s->macaddr, macaddr, 6);
	memcpy(s->bssid, bssid, 6);
	s->best_nbr_rssi = AS_NO_RSSI;
	s->next = table[b];
	table[b] = s;
	s->last_heard = as_now();
	list_add_tail(&s->heard, &as_heard);
	as_records++;

	log_message(LOG_LEVEL_TRACE,
		    PLAIN_MSG("Add STA %02x:%02x:%02x:%02x:%02x:%02x with bssid %02x:%02x:%02x:%02x:%02x:%02x\n"),
		    MAC2STR(macaddr), MAC2STR(bssid));
	return s;
}

struct active_sta *as_update_entry(struct active_sta **table, const uint8_t *macaddr,
				   const uint8_t *bssid)
{
	struct active_sta *s;

	as_expire(table, as_now());
	s = as_lookup(table, macaddr);
	if (!s)
		return create_entry(table, macaddr, bssid);
	as_touch(table, s);

	log_message(LOG_LEVEL_TRACE,
		    PLAIN_MSG("Set STA %02x:%02x:%02x:%02x:%02x:%02x bssid to %02x:%02x:%02x:%02x:%02x:%02x\n"),
		    MAC2STR(macaddr), MAC2STR(bssid));
	// A report of the BSS it is already on must not lose the BSS it came
	// from: that one may still owe us a late disassociation.
	if (memcmp(s->bssid, bssid, 6))
		memcpy(s->old_bssid, s->bssid, 6);
	memcpy(s->bssid, bssid, 6);
	return s;
}

void as_clean_entry(struct active_sta **table, const uint8_t *macaddr, const uint8_t *bssid)
{
	struct active_sta *s = as_lookup(table, macaddr);

	if (!s)
		return;

	// The late report of the BSS it roamed away from: it is still on the
	// new one.
	if (!memcmp(s->old_bssid, bssid, 6) && memcmp(s->bssid, bssid, 6)) {
		memset(s->old_bssid, 0, 6);
		return;
	}

	struct active_sta **link = &table[as_bucket(macaddr)];
	while (*link != s)
		link = &(*link)->next;
	*link = s->next;
	s->next = nullptr;
	list_del(&s->heard);
	as_records--;

	log_message(LOG_LEVEL_TRACE,
		    PLAIN_MSG("Remove STA %02x:%02x:%02x:%02x:%02x:%02x from active STAs\n"),
		    MAC2STR(s->macaddr));
	MTRACE_FREE(s);
}

void as_dump(struct active_sta **table)
{
	if (!log_wanted(LOG_LEVEL_TRACE))
		return;
	log_message(LOG_LEVEL_TRACE, PLAIN_MSG("Currently active STAs:\n"));
	for (int b = 0; b < AS_TABLE_SIZE; b++) {
		for (struct active_sta *s = table[b]; s; s = s->next) {
			log_message(LOG_LEVEL_TRACE,
				    PLAIN_MSG("Active STA: %02x:%02x:%02x:%02x:%02x:%02x, connected to: %02x:%02x:%02x:%02x:%02x:%02x (old %02x:%02x:%02x:%02x:%02x:%02x)\n"),
				    MAC2STR(s->macaddr), MAC2STR(s->bssid),
				    MAC2STR(s->old_bssid));
		}
	}
}

void as_clean_all(struct active_sta **table)
{
	for (int b = 0; b < AS_TABLE_SIZE; b++) {
		while (table[b]) {
			// Copies: the record is freed inside the call.
			uint8_t mac[6], bssid[6];

			memcpy(mac, table[b]->macaddr, 6);
			memcpy(bssid, table[b]->bssid, 6);
			as_clean_entry(table, mac, bssid);
		}
	}
}
