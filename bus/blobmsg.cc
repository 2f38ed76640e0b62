#include "bus/blobmsg.h"

#include <endian.h>

#include <cerrno>
#include <cstring>

static const size_t BLOBMSG_NAME_MAX = 0xffff;

static uint16_t blobmsg_namelen(const struct blob_attr *attr)
{
	uint16_t v;
	memcpy(&v, blob_data(attr), sizeof(v));
	return be16toh(v);
}

size_t blobmsg_hdrlen(unsigned int namelen)
{
	return blob_pad4(sizeof(struct blobmsg_hdr) + namelen + 1);
}

const char *blobmsg_name(const struct blob_attr *attr)
{
	if (!blob_is_extended(attr) || blob_len(attr) < blobmsg_hdrlen(0))
		return "";
	return static_cast<const char *>(blob_data(attr)) + sizeof(struct blobmsg_hdr);
}

int blobmsg_type(const struct blob_attr *attr)
{
	return int(blob_id(attr));
}

// Offset of the data area within the payload. An extended attribute whose
// name header does not fit has no data at all; validation rejects it, but
// the accessors stay within the attribute even when called on it.
static size_t blobmsg_data_offset(const struct blob_attr *attr)
{
	if (!blob_is_extended(attr))
		return 0;
	size_t len = blob_len(attr);
	if (len < sizeof(struct blobmsg_hdr))
		return len;
	size_t hdr = blobmsg_hdrlen(blobmsg_namelen(attr));
	return hdr > len ? len : hdr;
}

void *blobmsg_data(const struct blob_attr *attr)
{
	return static_cast<char *>(blob_data(attr)) + blobmsg_data_offset(attr);
}

size_t blobmsg_data_len(const struct blob_attr *attr)
{
	return blob_len(attr) - blobmsg_data_offset(attr);
}

size_t blobmsg_len(const struct blob_attr *attr)
{
	return blobmsg_data_len(attr);
}

static bool blobmsg_check_data(int type, const char *data, size_t len)
{
	switch (type) {
	case BLOBMSG_TYPE_INT8:
		return len == 1;
	case BLOBMSG_TYPE_INT16:
		return len == 2;
	case BLOBMSG_TYPE_INT32:
		return len == 4;
	case BLOBMSG_TYPE_INT64:
		return len == 8;
	case BLOBMSG_TYPE_DOUBLE:
		// Readers accept trailing bytes after the eight they use.
		return len >= 8;
	case BLOBMSG_TYPE_STRING:
		return len >= 1 && data[len - 1] == '\0';
	case BLOBMSG_TYPE_UNSPEC:
	case BLOBMSG_TYPE_ARRAY:
	case BLOBMSG_TYPE_TABLE:
		return true;
	default:
		return false;
	}
}

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	if (!blob_attr_fits(attr, len))
		return false;

	int type = blobmsg_type(attr);
	if (type > BLOBMSG_TYPE_LAST)
		return false;

	size_t plen = blob_len(attr);
	const char *payload = static_cast<const char *>(blob_data(attr));
	if (!blob_is_extended(attr)) {
		if (name)
			return false;
		return blobmsg_check_data(type, payload, plen);
	}

	if (plen < sizeof(struct blobmsg_hdr))
		return false;
	size_t namelen = blobmsg_namelen(attr);
	size_t hdr = blobmsg_hdrlen(unsigned(namelen));
	if (hdr > plen)
		return false;
	if (payload[sizeof(struct blobmsg_hdr) + namelen] != '\0')
		return false;
	if (name && namelen == 0)
		return false;
	return blobmsg_check_data(type, payload + hdr, plen - hdr);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	if (!attr)
		return false;
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	if (!blobmsg_check_attr(attr, false))
		return -1;

	int atype = blobmsg_type(attr);
	if (atype != BLOBMSG_TYPE_ARRAY && atype != BLOBMSG_TYPE_TABLE)
		return -1;
	if (type != BLOBMSG_TYPE_UNSPEC && type != atype)
		return -1;

	bool name = atype == BLOBMSG_TYPE_TABLE;
	int count = 0;
	struct blob_attr *cur;
	size_t rem;
	// The walk ends quietly at trailing bytes too short for a child, like
	// every other reader's walk; each child it reaches must be valid.
	blobmsg_for_each_attr(cur, attr, rem)
	{
		if (!blobmsg_check_attr_len(cur, name, rem))
			return -1;
		count++;
	}
	return count;
}

static bool blobmsg_type_matches(int policy_type, int type)
{
	if (policy_type == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (policy_type == BLOBMSG_CAST_INT64)
		return type >= BLOBMSG_TYPE_INT64 && type <= BLOBMSG_TYPE_INT8;
	return policy_type == type;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * size_t(policy_len));
	if (!data || !len)
		return -EINVAL;

	struct blob_attr *pos;
	size_t rem;
	__blob_for_each_attr(pos, data, len, rem)
	{
		if (!blobmsg_check_attr_len(pos, false, rem))
			return -1;
		if (!blob_is_extended(pos))
			continue;
		size_t namelen = blobmsg_namelen(pos);
		if (namelen == 0)
			continue;
		const char *name = blobmsg_name(pos);
		int type = blobmsg_type(pos);

		for (int i = 0; i < policy_len; i++) {
			// The first matching occurrence of a name wins.
			if (tb[i] || !policy[i].name)
				continue;
			if (!blobmsg_type_matches(policy[i].type, type))
				continue;
			if (strlen(policy[i].name) != namelen ||
			    memcmp(policy[i].name, name, namelen) != 0)
				continue;
			tb[i] = pos;
		}
	}
	return 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * size_t(policy_len));
	if (!data || !len)
		return -EINVAL;

	int i = 0;
	struct blob_attr *pos;
	size_t rem;
	__blob_for_each_attr(pos, data, len, rem)
	{
		if (i >= policy_len)
			break;
		if (!blobmsg_check_attr_len(pos, false, rem))
			return -1;
		// A mismatch skips the element; the slot waits for the next one.
		if (!blobmsg_type_matches(policy[i].type, blobmsg_type(pos)))
			continue;
		tb[i++] = pos;
	}
	return 0;
}

// Appends an extended attribute with its name header; `data` (may be null)
// receives the start of its data area of `payload` bytes.
static struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name,
				     size_t payload, void **data)
{
	if (type < 0 || type > BLOBMSG_TYPE_LAST)
		return nullptr;
	if (!name)
		name = "";
	size_t namelen = strlen(name);
	if (namelen > BLOBMSG_NAME_MAX)
		return nullptr;
	size_t hdr = blobmsg_hdrlen(unsigned(namelen));
	if (payload > BLOB_ATTR_LEN_MASK)
		return nullptr;

	struct blob_attr *attr = blob_new(buf, type, hdr + payload);
	if (!attr)
		return nullptr;

	uint32_t id_len;
	memcpy(&id_len, attr, sizeof(id_len));
	id_len |= htobe32(BLOB_ATTR_EXTENDED);
	memcpy(attr, &id_len, sizeof(id_len));

	char *p = static_cast<char *>(blob_data(attr));
	uint16_t nl = htobe16(uint16_t(namelen));
	memcpy(p, &nl, sizeof(nl));
	memcpy(p + sizeof(nl), name, namelen);
	memset(p + sizeof(nl) + namelen, 0, hdr - sizeof(nl) - namelen);
	if (data)
		*data = p + hdr;
	return attr;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
		      unsigned int len)
{
	void *dst;
	if (!blobmsg_new(buf, type, name, len, &dst))
		return -1;
	if (len)
		memcpy(dst, data, len);
	return 0;
}

int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string)
{
	return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, string,
				 unsigned(strlen(string) + 1));
}

int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val)
{
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT8, name, &val, sizeof(val));
}

int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val)
{
	uint16_t v = htobe16(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT16, name, &v, sizeof(v));
}

int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val)
{
	uint32_t v = htobe32(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, &v, sizeof(v));
}

int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val)
{
	uint64_t v = htobe64(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, &v, sizeof(v));
}

int blobmsg_add_double(struct blob_buf *buf, const char *name, double val)
{
	uint64_t bits;
	memcpy(&bits, &val, sizeof(bits));
	bits = htobe64(bits);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, &bits, sizeof(bits));
}

static void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	int type = array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE;
	return blob_nest_open(buf, blobmsg_new(buf, type, name, 0, nullptr));
}

void *blobmsg_open_table(struct blob_buf *buf, const char *name)
{
	return blobmsg_open_nested(buf, name, false);
}

void *blobmsg_open_array(struct blob_buf *buf, const char *name)
{
	return blobmsg_open_nested(buf, name, true);
}

void blobmsg_close_table(struct blob_buf *buf, void *cookie)
{
	blob_nest_end(buf, cookie);
}

void blobmsg_close_array(struct blob_buf *buf, void *cookie)
{
	blob_nest_end(buf, cookie);
}

int blobmsg_buf_init(struct blob_buf *buf)
{
	return blob_buf_init(buf, BLOBMSG_TYPE_TABLE);
}

int blobmsg_add_blob(struct blob_buf *buf, struct blob_attr *attr)
{
	return blobmsg_add_field(buf, blobmsg_type(attr), blobmsg_name(attr), blobmsg_data(attr),
				 blobmsg_data_len(attr));
}

bool blobmsg_get_bool(struct blob_attr *attr)
{
	return blobmsg_get_u8(attr) != 0;
}

uint8_t blobmsg_get_u8(struct blob_attr *attr)
{
	return *static_cast<const uint8_t *>(blobmsg_data(attr));
}

uint16_t blobmsg_get_u16(struct blob_attr *attr)
{
	uint16_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be16toh(v);
}

uint32_t blobmsg_get_u32(struct blob_attr *attr)
{
	uint32_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be32toh(v);
}

uint64_t blobmsg_get_u64(struct blob_attr *attr)
{
	uint64_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be64toh(v);
}

double blobmsg_get_double(struct blob_attr *attr)
{
	uint64_t bits = blobmsg_get_u64(attr);
	double d;
	memcpy(&d, &bits, sizeof(d));
	return d;
}

char *blobmsg_get_string(struct blob_attr *attr)
{
	if (!attr)
		return nullptr;
	return static_cast<char *>(blobmsg_data(attr));
}
