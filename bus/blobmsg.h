// blobmsg: named, typed values on top of blob attributes.
//
// Each blobmsg attribute has the extended flag set, its type as id, then a
// name header (16-bit big-endian name length, the name, a NUL, padding to 4)
// and then its data. Tables hold named members, arrays unnamed elements.
//
// Validation (blobmsg_check_attr) is what readers apply to bytes from
// outside; blobmsg_parse validates every attribute it looks at.
#pragma once

#include <cstdint>

#include "bus/blob.h"

#ifdef __cplusplus
extern "C" {
#endif

enum blobmsg_type {
	BLOBMSG_TYPE_UNSPEC,
	BLOBMSG_TYPE_ARRAY,
	BLOBMSG_TYPE_TABLE,
	BLOBMSG_TYPE_STRING,
	BLOBMSG_TYPE_INT64,
	BLOBMSG_TYPE_INT32,
	BLOBMSG_TYPE_INT16,
	BLOBMSG_TYPE_INT8,
	BLOBMSG_TYPE_DOUBLE,
	__BLOBMSG_TYPE_LAST,
	BLOBMSG_TYPE_LAST = __BLOBMSG_TYPE_LAST - 1,
	BLOBMSG_TYPE_BOOL = BLOBMSG_TYPE_INT8,
	// Policy-only pseudo type: accepts INT8/16/32/64.
	BLOBMSG_CAST_INT64 = __BLOBMSG_TYPE_LAST,
};

struct blobmsg_hdr {
	uint16_t namelen; // big-endian
	uint8_t name[];
};

struct blobmsg_policy {
	const char *name;
	enum blobmsg_type type;
};

// Name header size for a name of `namelen` bytes: pad4(namelen + 3).
size_t blobmsg_hdrlen(unsigned int namelen);

// The attribute's name ("" when it has none, or when it is not extended).
const char *blobmsg_name(const struct blob_attr *attr);
int blobmsg_type(const struct blob_attr *attr);
// Data area and its length (after the name header).
void *blobmsg_data(const struct blob_attr *attr);
size_t blobmsg_data_len(const struct blob_attr *attr);
size_t blobmsg_len(const struct blob_attr *attr);

// Checks one attribute: well-formed name header, NUL after the name, type
// within range and data matching the type. `name`: a name is required.
bool blobmsg_check_attr(const struct blob_attr *attr, bool name);
// The same, also checking that the attribute lies within `len` bytes.
bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len);
// Checks a table or array and its children (not their children); returns
// the number of children or -1. `type` is the expected container type
// (BLOBMSG_TYPE_TABLE or _ARRAY), or BLOBMSG_TYPE_UNSPEC for either. Table
// members must be named. As in every walk, bytes too short to be a child at
// the end of the container end it quietly.
int blobmsg_check_array(const struct blob_attr *attr, int type);

// Parses the run of attributes at data/len against `policy`: tb[i] is the
// first attribute whose name and type match policy[i], or null. Wrong types
// count as absent; a malformed attribute ends the parse with -1 (slots
// already filled stay); empty input gives -EINVAL with all slots empty.
int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len);
// Positional variant for arrays.
int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len);

// Builders; each returns 0, or -1 when the buffer cannot grow, the name is
// longer than 65535 bytes or the type is not a wire type. A null name is an
// empty one (array elements).
int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len);
int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string);
int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val);
int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val);
int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val);
int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val);
int blobmsg_add_double(struct blob_buf *buf, const char *name, double val);
#define blobmsg_add_bool blobmsg_add_u8

// Opens a table or array; returns the cookie for the matching close, or null
// on failure (closing with null does nothing).
void *blobmsg_open_table(struct blob_buf *buf, const char *name);
void *blobmsg_open_array(struct blob_buf *buf, const char *name);
void blobmsg_close_table(struct blob_buf *buf, void *cookie);
void blobmsg_close_array(struct blob_buf *buf, void *cookie);

// Initialises a buffer whose root is a table (id BLOBMSG_TYPE_TABLE).
int blobmsg_buf_init(struct blob_buf *buf);

// Copies `attr`, a blobmsg attribute, with its name into the open container.
int blobmsg_add_blob(struct blob_buf *buf, struct blob_attr *attr);

// Typed getters; the attribute must have been validated for the type. They
// take a plain pointer, as the router's library declares them.
bool blobmsg_get_bool(struct blob_attr *attr);
uint8_t blobmsg_get_u8(struct blob_attr *attr);
uint16_t blobmsg_get_u16(struct blob_attr *attr);
uint32_t blobmsg_get_u32(struct blob_attr *attr);
uint64_t blobmsg_get_u64(struct blob_attr *attr);
double blobmsg_get_double(struct blob_attr *attr);
char *blobmsg_get_string(struct blob_attr *attr);

// Walks the members of a table or array (checked walk).
#define blobmsg_for_each_attr(pos, attr, rem)                                                \
	for (rem = (attr) ? blobmsg_data_len(attr) : 0,                                     \
	    pos = (struct blob_attr *)((attr) ? blobmsg_data(attr) : nullptr);               \
	     rem >= sizeof(struct blob_attr) && blob_pad_len(pos) <= rem &&                 \
	     blob_raw_len(pos) >= sizeof(struct blob_attr);                                   \
	     rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif
