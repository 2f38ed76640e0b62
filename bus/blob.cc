#include "bus/blob.h"

#include <endian.h>

#include <cstdlib>
#include <cstring>

// Attributes sit on 4-byte boundaries but a buffer handed in from outside
// need not, and 64-bit payloads are only 4-aligned: every multi-byte access
// goes through memcpy.
static uint32_t blob_hdr(const struct blob_attr *attr)
{
	uint32_t v;
	memcpy(&v, attr, sizeof(v));
	return be32toh(v);
}

static void blob_set_hdr(struct blob_attr *attr, uint32_t hdr)
{
	uint32_t v = htobe32(hdr);
	memcpy(attr, &v, sizeof(v));
}

static void blob_set_raw_len(struct blob_attr *attr, size_t len)
{
	uint32_t hdr = blob_hdr(attr) & ~uint32_t(BLOB_ATTR_LEN_MASK);
	blob_set_hdr(attr, hdr | (uint32_t(len) & BLOB_ATTR_LEN_MASK));
}

unsigned int blob_id(const struct blob_attr *attr)
{
	return (blob_hdr(attr) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
}

bool blob_is_extended(const struct blob_attr *attr)
{
	return blob_hdr(attr) & BLOB_ATTR_EXTENDED;
}

size_t blob_raw_len(const struct blob_attr *attr)
{
	return blob_hdr(attr) & BLOB_ATTR_LEN_MASK;
}

size_t blob_len(const struct blob_attr *attr)
{
	size_t raw = blob_raw_len(attr);
	// A length field below the header size is malformed; reporting an empty
	// payload keeps any arithmetic on it from wrapping.
	return raw < sizeof(struct blob_attr) ? 0 : raw - sizeof(struct blob_attr);
}

size_t blob_pad_len(const struct blob_attr *attr)
{
	return blob_pad4(blob_raw_len(attr));
}

void *blob_data(const struct blob_attr *attr)
{
	// No member access: input attributes need not be aligned.
	return const_cast<char *>(reinterpret_cast<const char *>(attr)) + sizeof(struct blob_attr);
}

struct blob_attr *blob_next(const struct blob_attr *attr)
{
	return reinterpret_cast<struct blob_attr *>(
		const_cast<char *>(reinterpret_cast<const char *>(attr)) + blob_pad_len(attr));
}

uint8_t blob_get_u8(const struct blob_attr *attr)
{
	return *static_cast<const uint8_t *>(blob_data(attr));
}

uint16_t blob_get_u16(const struct blob_attr *attr)
{
	uint16_t v;
	memcpy(&v, blob_data(attr), sizeof(v));
	return be16toh(v);
}

uint32_t blob_get_u32(const struct blob_attr *attr)
{
	uint32_t v;
	memcpy(&v, blob_data(attr), sizeof(v));
	return be32toh(v);
}

uint64_t blob_get_u64(const struct blob_attr *attr)
{
	uint64_t v;
	memcpy(&v, blob_data(attr), sizeof(v));
	return be64toh(v);
}

int32_t blob_get_int32(const struct blob_attr *attr)
{
	return static_cast<int32_t>(blob_get_u32(attr));
}

const char *blob_get_string(const struct blob_attr *attr)
{
	return static_cast<const char *>(blob_data(attr));
}

bool blob_check_type(const void *ptr, size_t len, int type)
{
	const char *data = static_cast<const char *>(ptr);

	switch (type) {
	case BLOB_ATTR_INT8:
		return len == 1;
	case BLOB_ATTR_INT16:
		return len == 2;
	case BLOB_ATTR_INT32:
		return len == 4;
	case BLOB_ATTR_INT64:
		return len == 8;
	case BLOB_ATTR_DOUBLE:
		return len >= 8;
	case BLOB_ATTR_STRING:
		return len >= 1 && data[len - 1] == '\0';
	case BLOB_ATTR_UNSPEC:
	case BLOB_ATTR_NESTED:
	case BLOB_ATTR_BINARY:
		return true;
	default:
		return false;
	}
}

bool blob_attr_fits(const struct blob_attr *attr, size_t len)
{
	if (!attr || len < sizeof(struct blob_attr))
		return false;
	size_t raw = blob_raw_len(attr);
	return raw >= sizeof(struct blob_attr) && raw <= len;
}

int blob_parse_untrusted(const void *data, size_t len, struct blob_attr **tb,
			 const struct blob_attr_info *info, int max)
{
	if (!tb || max <= 0)
		return 0;
	memset(tb, 0, sizeof(*tb) * size_t(max));
	if (!data)
		return 0;

	int found = 0;
	struct blob_attr *pos;
	size_t rem;
	__blob_for_each_attr(pos, data, len, rem)
	{
		unsigned int id = blob_id(pos);
		if (id >= unsigned(max))
			continue;
		if (info && !blob_check_type(blob_data(pos), blob_len(pos), int(info[id].type)))
			continue;
		// Bus attributes: the last valid occurrence of an id wins.
		if (!tb[id])
			found++;
		tb[id] = pos;
	}
	return found;
}

int blob_parse(const struct blob_attr *attr, struct blob_attr **tb,
	       const struct blob_attr_info *info, int max)
{
	if (!attr)
		return blob_parse_untrusted(nullptr, 0, tb, info, max);
	return blob_parse_untrusted(blob_data(attr), blob_len(attr), tb, info, max);
}

// The cookie handed out by blob_nest_start is the byte offset of the parent
// container plus BLOB_COOKIE, so that it survives the buffer moving and is
// never null for a valid offset.
static void *blob_offset_cookie(const struct blob_buf *buf, const struct blob_attr *attr)
{
	uintptr_t off = uintptr_t(reinterpret_cast<const char *>(attr) -
				  static_cast<const char *>(buf->buf));
	return reinterpret_cast<void *>(off + BLOB_COOKIE);
}

static const size_t BLOB_BUF_MAX = BLOB_ATTR_LEN_MASK;

static bool blob_buf_grow(struct blob_buf *buf, size_t need)
{
	if (need <= size_t(buf->buflen))
		return true;
	if (need > BLOB_BUF_MAX)
		return false;

	size_t newlen = buf->buflen > 0 ? size_t(buf->buflen) : 256;
	while (newlen < need)
		newlen *= 2;
	if (newlen > BLOB_BUF_MAX)
		newlen = BLOB_BUF_MAX;

	size_t head_off = reinterpret_cast<char *>(buf->head) - static_cast<char *>(buf->buf);
	void *p = realloc(buf->buf, newlen);
	if (!p)
		return false;
	buf->buf = p;
	buf->buflen = int(newlen);
	buf->head = reinterpret_cast<struct blob_attr *>(static_cast<char *>(p) + head_off);
	return true;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->buf)
		buf->buflen = 0;
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	if (!blob_buf_grow(buf, sizeof(struct blob_attr)))
		return -1;
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	blob_set_hdr(buf->head, (uint32_t(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK);
	blob_set_raw_len(buf->head, sizeof(struct blob_attr));
	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = nullptr;
	buf->head = nullptr;
	buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, size_t payload)
{
	if (!buf->buf || !buf->head)
		return nullptr;
	if (payload > BLOB_BUF_MAX - sizeof(struct blob_attr))
		return nullptr;

	size_t raw = sizeof(struct blob_attr) + payload;
	size_t head_off = reinterpret_cast<char *>(buf->head) - static_cast<char *>(buf->buf);
	// New children go right after the innermost open container's contents,
	// which is the end of everything written so far.
	size_t off = head_off + blob_pad_len(buf->head);
	if (!blob_buf_grow(buf, off + blob_pad4(raw)))
		return nullptr;

	char *base = static_cast<char *>(buf->buf);
	auto *attr = reinterpret_cast<struct blob_attr *>(base + off);
	blob_set_hdr(attr, ((uint32_t(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK) |
				   uint32_t(raw));
	memset(base + off + raw, 0, blob_pad4(raw) - raw);
	blob_set_raw_len(buf->head, off + blob_pad4(raw) - head_off);
	return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, size_t len)
{
	struct blob_attr *attr = blob_new(buf, id, len);
	if (!attr)
		return nullptr;
	if (len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, size_t len)
{
	const auto *src = static_cast<const struct blob_attr *>(ptr);
	if (!blob_attr_fits(src, len))
		return nullptr;
	size_t raw = blob_raw_len(src);
	struct blob_attr *attr = blob_new(buf, 0, raw - sizeof(struct blob_attr));
	if (!attr)
		return nullptr;
	// The copy carries the source's own header word (id and extended flag).
	memcpy(attr, src, raw);
	return attr;
}

struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str)
{
	return blob_put(buf, id, str, strlen(str) + 1);
}

struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val)
{
	return blob_put(buf, id, &val, sizeof(val));
}

struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val)
{
	uint16_t v = htobe16(val);
	return blob_put(buf, id, &v, sizeof(v));
}

struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val)
{
	uint32_t v = htobe32(val);
	return blob_put(buf, id, &v, sizeof(v));
}

struct blob_attr *blob_put_u64(struct blob_buf *buf, int id, uint64_t val)
{
	uint64_t v = htobe64(val);
	return blob_put(buf, id, &v, sizeof(v));
}

void *blob_nest_open(struct blob_buf *buf, struct blob_attr *attr)
{
	if (!attr)
		return nullptr;
	void *cookie = blob_offset_cookie(buf, buf->head);
	buf->head = attr;
	return cookie;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	return blob_nest_open(buf, blob_new(buf, id, 0));
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	if (!cookie || !buf->buf || !buf->head)
		return;
	char *base = static_cast<char *>(buf->buf);
	size_t head_off = reinterpret_cast<char *>(buf->head) - base;
	uintptr_t c = reinterpret_cast<uintptr_t>(cookie);
	if (c < BLOB_COOKIE || c - BLOB_COOKIE >= head_off)
		return; // not a cookie of an enclosing container: ignore
	size_t parent_off = c - BLOB_COOKIE;
	auto *parent = reinterpret_cast<struct blob_attr *>(base + parent_off);
	// The closed container is the parent's last child; the parent now ends
	// where it ends, padding included.
	blob_set_raw_len(parent, head_off + blob_pad_len(buf->head) - parent_off);
	buf->head = parent;
}
