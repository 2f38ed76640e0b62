// Blob attributes: the TLV layer under every bus message.
//
// An attribute is a 4-byte big-endian header word (bit 31: extended flag,
// bits 30..24: id, bits 23..0: length including the header, excluding
// padding) followed by its payload; siblings start on 4-byte boundaries.
// A container's payload is a run of child attributes.
//
// Reading: every walk over children uses the checked rule (stop when fewer
// than 4 bytes remain, or a child's length field is below 4, or its padded
// length is beyond what remains), so a walk never leaves its container and
// never loops on a zero length. Payload accessors
// (blob_get_u32 ...) assume the attribute was validated for its kind first
// (blob_parse, blob_check_type, or blobmsg validation).
//
// Building: a blob_buf owns one growing heap buffer holding a root attribute;
// blob_put* append children to the innermost open container.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

#define BLOB_COOKIE 0x01234567

enum {
	BLOB_ATTR_UNSPEC,
	BLOB_ATTR_NESTED,
	BLOB_ATTR_BINARY,
	BLOB_ATTR_STRING,
	BLOB_ATTR_INT8,
	BLOB_ATTR_INT16,
	BLOB_ATTR_INT32,
	BLOB_ATTR_INT64,
	BLOB_ATTR_DOUBLE,
	BLOB_ATTR_LAST
};

#define BLOB_ATTR_ID_MASK 0x7f000000
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffff
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000

struct blob_attr {
	uint32_t id_len; // big-endian on the wire and in memory
	char data[];
};

// Describes one attribute id for blob_parse.
struct blob_attr_info {
	unsigned int type; // BLOB_ATTR_*: the kind whose length is checked
};

struct blob_buf {
	struct blob_attr *head; // the root attribute (or the open container)
	int buflen;             // bytes allocated at buf
	void *buf;              // heap buffer, released by blob_buf_free
};

static inline constexpr size_t blob_pad4(size_t n)
{
	return (n + BLOB_ATTR_ALIGN - 1) & ~size_t(BLOB_ATTR_ALIGN - 1);
}

unsigned int blob_id(const struct blob_attr *attr);
bool blob_is_extended(const struct blob_attr *attr);
// Length including the header word, excluding padding.
size_t blob_raw_len(const struct blob_attr *attr);
// Payload length (raw length minus the header word).
size_t blob_len(const struct blob_attr *attr);
// Raw length rounded up to 4: the distance to the next sibling.
size_t blob_pad_len(const struct blob_attr *attr);
void *blob_data(const struct blob_attr *attr);
struct blob_attr *blob_next(const struct blob_attr *attr);

uint8_t blob_get_u8(const struct blob_attr *attr);
uint16_t blob_get_u16(const struct blob_attr *attr);
uint32_t blob_get_u32(const struct blob_attr *attr);
uint64_t blob_get_u64(const struct blob_attr *attr);
int32_t blob_get_int32(const struct blob_attr *attr);
const char *blob_get_string(const struct blob_attr *attr);

// Checks that the payload suits the kind `type` (BLOB_ATTR_*): exact sizes
// for integers, a NUL-terminated non-empty payload for strings.
bool blob_check_type(const void *ptr, size_t len, int type);

// Checks that `attr` is a well-formed attribute lying within `len` bytes:
// at least a header, a length field of 4 or more and no more than `len`
// (the padding after it need not be there). `attr` may be null.
bool blob_attr_fits(const struct blob_attr *attr, size_t len);

// Parses the children of `attr` into tb[0..max-1] by id. Ids >= max are
// ignored, attributes failing their kind's check (info may be null) are
// ignored, and of several valid attributes with one id the last one wins.
// The slots point into `attr`. Returns the number of slots filled.
int blob_parse(const struct blob_attr *attr, struct blob_attr **tb,
	       const struct blob_attr_info *info, int max);
// The same over a raw run of attributes.
int blob_parse_untrusted(const void *data, size_t len, struct blob_attr **tb,
			 const struct blob_attr_info *info, int max);

// (Re)initialises the buffer with an empty root of id `id`, keeping the
// memory it already has. The buffer must be zeroed before its first init.
// Returns 0, or -1 on allocation failure.
int blob_buf_init(struct blob_buf *buf, int id);
// Releases the memory and zeroes the buffer; it may be initialised again.
// Attributes taken from it are invalid afterwards.
void blob_buf_free(struct blob_buf *buf);

// Appends an attribute with a copy of `len` payload bytes; returns it or null.
// Returned pointers are valid until the next append (the buffer may move).
struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, size_t len);
// Appends an already encoded attribute (header and payload) verbatim; `len`
// is the number of bytes readable at `ptr`, which must hold the whole
// attribute. `ptr` must not point into `buf` itself (the buffer may move).
struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, size_t len);
struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str);
struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val);
struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val);
struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val);
struct blob_attr *blob_put_u64(struct blob_buf *buf, int id, uint64_t val);
#define blob_put_int32 blob_put_u32

// Opens a nested container; close it with blob_nest_end and the cookie.
// Returns null when the buffer cannot grow; blob_nest_end ignores a null
// cookie, so an open/close pair stays balanced after a failure.
void *blob_nest_start(struct blob_buf *buf, int id);
void blob_nest_end(struct blob_buf *buf, void *cookie);

// Appends an attribute with `payload` bytes of room and returns it, or null
// when the buffer cannot grow (it stops at 0xFFFFFF bytes). The padding after
// the payload is zeroed; the payload itself is left for the caller to fill.
// The pointer is valid until the next append (the buffer may move).
struct blob_attr *blob_new(struct blob_buf *buf, int id, size_t payload);
// Makes `attr`, just appended with blob_new, the open container and returns
// the cookie for blob_nest_end (null when attr is null).
void *blob_nest_open(struct blob_buf *buf, struct blob_attr *attr);

// Walks the children of `attr` (checked; see the file comment).
#define blob_for_each_attr(pos, attr, rem)                                                   \
	for (rem = (attr) ? blob_len(attr) : 0,                                             \
	    pos = (struct blob_attr *)((attr) ? blob_data(attr) : nullptr);                  \
	     rem >= sizeof(struct blob_attr) && blob_pad_len(pos) <= rem &&                 \
	     blob_raw_len(pos) >= sizeof(struct blob_attr);                                   \
	     rem -= blob_pad_len(pos), pos = blob_next(pos))

// Walks a raw run of `len` bytes of attributes (checked).
#define __blob_for_each_attr(pos, data, len, rem)                                            \
	for (rem = (len), pos = (struct blob_attr *)(data);                                   \
	     rem >= sizeof(struct blob_attr) && blob_pad_len(pos) <= rem &&                 \
	     blob_raw_len(pos) >= sizeof(struct blob_attr);                                   \
	     rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif
