// The "aircoord" bus object (cntlr_ubus.cc): status, stations, history,
// get_config and set_config. Its handlers run from the loop, reply within
// the call and never wait on an agent.
#pragma once

#include "src/cntlr.h"

// Puts the object on the bus; 0 or the bus status. cntlr_ubus_remove takes
// it off again (nothing when it is not registered).
int cntlr_ubus_add(struct cntlr *c);
void cntlr_ubus_remove(struct cntlr *c);
// A page of "stations" holds at most this many records, far below the bus's
// message limit (about 250 bytes each).
#define STATIONS_PAGE_MAX 512
// The optional arguments of "stations" and "history".
struct cntlr_query {
	bool has_sta;
	uint8_t sta[6];
	int32_t offset; // stations only
	int32_t limit;
};
// Reads the arguments of "stations" (`paged`: with an offset) or "history".
// False for a malformed table, an unknown or mistyped member, a text that
// is no MAC address, a negative offset or a limit outside 1..the maximum
// (STATIONS_PAGE_MAX or HISTORY_LEN, the default).
bool cntlr_query_parse(struct blob_attr *msg, bool paged, struct cntlr_query *q);
