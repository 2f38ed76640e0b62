// blobmsg <-> JSON text.
//
// Rendering follows the router's renderer exactly (no whitespace, doubles
// with six decimals, int32 signed, lower-case \u00xx escapes, empty-named
// table members printed without key). The returned text is allocated with
// libc malloc and released by the caller with free() (or a wrapper that
// ends in libc free).
#pragma once

#include <json-c/json.h>

#include "bus/blob.h"
#include "bus/blobmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

// Optional hook that may render an attribute itself; unused by this project
// but kept for the call shape. Returns the text to print, or null.
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

// list = true: render the contents of `attr` as a container ({...}, or [...]
// for an extended array); list = false: render `attr` as one element
// ("name":value). indent < 0: compact; indent >= 0: the indented form at that
// level. `attr` must lie within its buffer (blob_attr_fits); below it every
// member is validated, and one that fails prints nothing but keeps its comma
// (an invalid element on its own gives ""). Nesting depth is not limited.
// Returns null on allocation failure or a null attribute.
char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
				  blobmsg_json_format_t cb, void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list)
{
	return blobmsg_format_json_with_cb(attr, list, nullptr, nullptr, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent)
{
	return blobmsg_format_json_with_cb(attr, list, nullptr, nullptr, indent);
}

// Renders the value only, never the name.
char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb,
					void *priv, int indent);

// Adds the members of a JSON object to the buffer's open container.
// Returns false when `obj` is not an object or the buffer cannot grow.
bool blobmsg_add_object(struct blob_buf *b, json_object *obj);
// Adds one JSON value under `name`: objects become tables, arrays arrays,
// booleans INT8, integers INT32 when they fit and INT64 otherwise, other
// numbers DOUBLE, null an empty UNSPEC.
bool blobmsg_add_json_element(struct blob_buf *b, const char *name, json_object *obj);
// Parses `str` (must be a JSON object) and adds its members.
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str);

#ifdef __cplusplus
}
#endif
