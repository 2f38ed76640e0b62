#include "bus/ubusmsg.h"

#include <errno.h>
#include <sys/socket.h>

#include "bus/ubus.h"

const struct blob_attr_info ubus_attr_info[UBUS_ATTR_MAX] = {
	[UBUS_ATTR_UNSPEC] = {BLOB_ATTR_UNSPEC},
	[UBUS_ATTR_STATUS] = {BLOB_ATTR_INT32},
	[UBUS_ATTR_OBJPATH] = {BLOB_ATTR_STRING},
	[UBUS_ATTR_OBJID] = {BLOB_ATTR_INT32},
	[UBUS_ATTR_METHOD] = {BLOB_ATTR_STRING},
	[UBUS_ATTR_OBJTYPE] = {BLOB_ATTR_INT32},
	[UBUS_ATTR_SIGNATURE] = {BLOB_ATTR_NESTED},
	[UBUS_ATTR_DATA] = {BLOB_ATTR_NESTED},
	[UBUS_ATTR_TARGET] = {BLOB_ATTR_INT32},
	[UBUS_ATTR_ACTIVE] = {BLOB_ATTR_INT8},
	[UBUS_ATTR_NO_REPLY] = {BLOB_ATTR_INT8},
	[UBUS_ATTR_SUBSCRIBERS] = {BLOB_ATTR_NESTED},
	[UBUS_ATTR_USER] = {BLOB_ATTR_STRING},
	[UBUS_ATTR_GROUP] = {BLOB_ATTR_STRING},
};

bool ubus_msg_root_ok(uint32_t root)
{
	return root >= sizeof(struct blob_attr) && blob_pad4(root) <= UBUS_MAX_MSGLEN;
}

ssize_t ubus_msg_frame_len(const uint8_t *p, size_t avail)
{
	if (avail < UBUS_MSG_PREFIX_LEN)
		return 0;
	uint32_t root = ubus_msg_root_len(p);
	if (!ubus_msg_root_ok(root))
		return -1;
	size_t total = UBUS_MSGHDR_LEN + root;
	return avail < total ? 0 : total;
}

size_t ubus_msg_rx_want(const uint8_t *p, size_t avail, size_t min_free)
{
	if (avail < UBUS_MSG_PREFIX_LEN)
		return min_free;
	size_t total = UBUS_MSGHDR_LEN + ubus_msg_root_len(p);
	if (total > avail && total - avail > min_free)
		return total - avail;
	return min_free;
}

void ubus_msg_parse(const uint8_t *p, size_t len, uint8_t *type, uint16_t *seq, uint32_t *peer,
		    struct blob_attr **tb)
{
	struct ubus_msghdr h;
	memcpy(&h, p, sizeof(h));
	*type = h.type;
	*seq = be16toh(h.seq);
	*peer = be32toh(h.peer);
	blob_parse_untrusted(p + UBUS_MSG_PREFIX_LEN, len - UBUS_MSG_PREFIX_LEN, tb,
			     ubus_attr_info, UBUS_ATTR_MAX);
}

ssize_t ubus_recv_some(int fd, uint8_t *buf, size_t len)
{
	for (;;) {
		ssize_t n = recv(fd, buf, len, MSG_DONTWAIT);
		if (n > 0)
			return n;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return 0;
		return -1;
	}
}
