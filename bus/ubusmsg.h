// Wire format of the bus: its constants, and the framing and parsing of
// messages, shared by the client library and the broker.
//
// A message is an 8-byte header (version 0, type, seq and peer in network
// order) followed by a blob root of id 0 whose children are the attributes
// below. Both sides parse the children with ubus_attr_info, so an attribute
// of the wrong kind counts as absent and the last valid duplicate wins.
#pragma once

#include <endian.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "bus/blob.h"

enum ubus_msg_type {
	UBUS_MSG_HELLO,
	UBUS_MSG_STATUS,
	UBUS_MSG_DATA,
	UBUS_MSG_PING,
	UBUS_MSG_LOOKUP,
	UBUS_MSG_INVOKE,
	UBUS_MSG_ADD_OBJECT,
	UBUS_MSG_REMOVE_OBJECT,
	UBUS_MSG_SUBSCRIBE,
	UBUS_MSG_UNSUBSCRIBE,
	UBUS_MSG_NOTIFY,
	UBUS_MSG_MONITOR,
	__UBUS_MSG_LAST,
};

enum ubus_msg_attr {
	UBUS_ATTR_UNSPEC,
	UBUS_ATTR_STATUS,
	UBUS_ATTR_OBJPATH,
	UBUS_ATTR_OBJID,
	UBUS_ATTR_METHOD,
	UBUS_ATTR_OBJTYPE,
	UBUS_ATTR_SIGNATURE,
	UBUS_ATTR_DATA,
	UBUS_ATTR_TARGET,
	UBUS_ATTR_ACTIVE,
	UBUS_ATTR_NO_REPLY,
	UBUS_ATTR_SUBSCRIBERS,
	UBUS_ATTR_USER,
	UBUS_ATTR_GROUP,
	UBUS_ATTR_MAX,
};

// Objects built into the broker; ids below this are never handed out.
#define UBUS_SYSTEM_OBJECT_EVENT 1
#define UBUS_SYSTEM_OBJECT_ACL 2
#define UBUS_SYSTEM_OBJECT_MONITOR 3
#define UBUS_SYSTEM_OBJECT_MAX 1024

#define UBUS_MSGHDR_LEN 8
// Header plus the root's header word: what must be read before the body
// length is known.
#define UBUS_MSG_PREFIX_LEN 12

struct ubus_msghdr {
	uint8_t version;
	uint8_t type;
	uint16_t seq;  // big-endian
	uint32_t peer; // big-endian
};
static_assert(sizeof(struct ubus_msghdr) == UBUS_MSGHDR_LEN);

extern const struct blob_attr_info ubus_attr_info[UBUS_ATTR_MAX];

static inline void ubus_msghdr_fill(void *dst, uint8_t type, uint16_t seq, uint32_t peer)
{
	struct ubus_msghdr h;
	h.version = 0;
	h.type = type;
	h.seq = htobe16(seq);
	h.peer = htobe32(peer);
	memcpy(dst, &h, sizeof(h));
}

// Root length of the message starting at `p` (at least UBUS_MSG_PREFIX_LEN
// bytes): the blob length field of the root word.
static inline uint32_t ubus_msg_root_len(const uint8_t *p)
{
	uint32_t w;
	memcpy(&w, p + UBUS_MSGHDR_LEN, sizeof(w));
	return be32toh(w) & BLOB_ATTR_LEN_MASK;
}

// Whether a root length read off the wire can frame a message: it holds at
// least the root's own header and stays within UBUS_MAX_MSGLEN.
bool ubus_msg_root_ok(uint32_t root);

// Length of the message at the start of `p`, of which `avail` bytes have
// arrived: 0 while it is incomplete, -1 when its framing is broken (then
// nothing after it can be trusted to start on a message boundary).
ssize_t ubus_msg_frame_len(const uint8_t *p, size_t avail);

// Free room the next read into a receive buffer should have, `avail` bytes
// of which are still unhandled at `p`: at least `min_free`, and the rest of
// a message whose length is already known.
size_t ubus_msg_rx_want(const uint8_t *p, size_t avail, size_t min_free);

// Splits the complete `len`-byte message at `p`: its header in host order
// and its attributes into tb[UBUS_ATTR_MAX] (null where absent or of the
// wrong kind). `tb` points into `p`.
void ubus_msg_parse(const uint8_t *p, size_t len, uint8_t *type, uint16_t *seq, uint32_t *peer,
		    struct blob_attr **tb);

// One non-blocking read, retried on EINTR: > 0 for bytes read, 0 when
// nothing was there, -1 on end of file or error.
ssize_t ubus_recv_some(int fd, uint8_t *buf, size_t len);
