// The bus libraries the daemon is built against: the router's own
// (AIRCOORD_SYSTEM_BUS) or the project's bus layer, which declares the same
// public API. The daemon includes the bus through this header only and uses
// nothing but that API, so its sources build against either.
#pragma once

#ifdef AIRCOORD_SYSTEM_BUS
// The router's headers are C without linkage guards of their own.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubus.h>
}
#else
#include "bus/blobmsg.h"
#include "bus/blobmsg_json.h"
#include "bus/list.h"
#include "bus/ubus.h"
#include "bus/uloop.h"
#endif
