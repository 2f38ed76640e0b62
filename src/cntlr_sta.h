// Station tracking (cntlr_sta.cc): "wifi.sta" events and association lists
// keep the station table in step with the mesh; roamed stations and
// repeaters' copies are disconnected where they no longer belong.
#pragma once

#include "src/cntlr.h"

int cntlr_handle_sta_event(struct node *n, struct blob_attr *msg, int from_remote);
void cntlr_assoclist_resp(struct cntlr *c, char *resp, int len, void *priv);
int cntlr_monitor_sta(struct cntlr *c, const uint8_t *macaddr, const uint8_t *bssid);
// 0 when the box holding `bssid` was told to drop the station, its bus
// status when the call failed, -1 when no box holds `bssid`.
int cntlr_disconnect_sta_bss(struct cntlr *c, const uint8_t *bssid, struct active_sta *sta);
int node_disconnect_sta(struct node *n, const char *ifname, const char *sta);
