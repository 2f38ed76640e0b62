// Feeds arbitrary bytes to the blob and blobmsg readers the way the broker
// and the client library meet them: a bus message body parsed by id, its
// nested attributes walked as blobmsg, every valid value read back and
// re-encoded. Any read outside the input or mismatch in a re-encoding is a
// finding.
#include "bus/blob.h"
#include "bus/blobmsg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

enum { BUS_ATTR_MAX = 14 };

const struct blob_attr_info bus_info[BUS_ATTR_MAX] = {
	{BLOB_ATTR_UNSPEC}, {BLOB_ATTR_INT32}, {BLOB_ATTR_STRING}, {BLOB_ATTR_INT32},
	{BLOB_ATTR_STRING}, {BLOB_ATTR_INT32}, {BLOB_ATTR_NESTED}, {BLOB_ATTR_NESTED},
	{BLOB_ATTR_INT32},  {BLOB_ATTR_INT8},  {BLOB_ATTR_INT8},   {BLOB_ATTR_NESTED},
	{BLOB_ATTR_STRING}, {BLOB_ATTR_STRING},
};

const struct blobmsg_policy policy[] = {
	{"id", BLOBMSG_TYPE_INT32},      {"path", BLOBMSG_TYPE_STRING},
	{"data", BLOBMSG_TYPE_TABLE},    {"list", BLOBMSG_TYPE_ARRAY},
	{"n", BLOBMSG_CAST_INT64},       {"d", BLOBMSG_TYPE_DOUBLE},
	{"k", BLOBMSG_TYPE_UNSPEC},      {"", BLOBMSG_TYPE_UNSPEC},
};
const int policy_len = sizeof(policy) / sizeof(policy[0]);

volatile uint64_t sink;

// Reads the value and checks that the builder encodes the same data again.
void reencode(struct blob_attr *attr)
{
	int type = blobmsg_type(attr);
	const char *data = static_cast<const char *>(blobmsg_data(attr));
	size_t len = blobmsg_data_len(attr);

	switch (type) {
	case BLOBMSG_TYPE_INT8:
		sink = sink + blobmsg_get_bool(attr);
		break;
	case BLOBMSG_TYPE_INT16:
		sink = sink + blobmsg_get_u16(attr);
		break;
	case BLOBMSG_TYPE_INT32:
		sink = sink + blobmsg_get_u32(attr);
		break;
	case BLOBMSG_TYPE_INT64:
		sink = sink + blobmsg_get_u64(attr);
		break;
	case BLOBMSG_TYPE_DOUBLE:
		sink = sink + uint64_t(blobmsg_get_double(attr) != 0);
		break;
	case BLOBMSG_TYPE_STRING:
		sink = sink + strlen(blobmsg_get_string(attr));
		break;
	default:
		break;
	}
	if (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY)
		return;

	struct blob_buf b = {};
	if (blob_buf_init(&b, 0) == 0 &&
	    blobmsg_add_field(&b, type, blobmsg_name(attr), data, unsigned(len)) == 0) {
		auto *copy = static_cast<struct blob_attr *>(blob_data(b.head));
		if (!blobmsg_check_attr(copy, false) || blobmsg_data_len(copy) != len ||
		    memcmp(blobmsg_data(copy), data, len) != 0 ||
		    strcmp(blobmsg_name(copy), blobmsg_name(attr)) != 0)
			abort();
	}
	blob_buf_free(&b);
}

void walk(const struct blob_attr *attr, int depth)
{
	if (depth > 64)
		return;

	struct blob_attr *tb[policy_len];
	blobmsg_parse(policy, policy_len, tb, blobmsg_data(attr), unsigned(blobmsg_data_len(attr)));
	blobmsg_parse_array(policy, policy_len, tb, blobmsg_data(attr),
			    unsigned(blobmsg_data_len(attr)));
	for (int type : {BLOBMSG_TYPE_UNSPEC, BLOBMSG_TYPE_TABLE, BLOBMSG_TYPE_ARRAY})
		blobmsg_check_array(attr, type);

	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, attr, rem)
	{
		if (!blobmsg_check_attr_len(cur, false, rem))
			continue;
		reencode(cur);
		int type = blobmsg_type(cur);
		if (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY)
			walk(cur, depth + 1);
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct blob_attr *tb[BUS_ATTR_MAX];

	// The input as a run of attributes, and as one message root.
	blob_parse_untrusted(data, size, tb, bus_info, BUS_ATTR_MAX);
	struct blob_attr *raw[policy_len];
	blobmsg_parse(policy, policy_len, raw, const_cast<uint8_t *>(data), unsigned(size));

	auto *root = reinterpret_cast<const struct blob_attr *>(data);
	if (!blob_attr_fits(root, size))
		return 0;
	blob_parse(root, tb, bus_info, BUS_ATTR_MAX);
	for (int id = 0; id < BUS_ATTR_MAX; id++) {
		if (!tb[id])
			continue;
		switch (bus_info[id].type) {
		case BLOB_ATTR_INT8:
			sink = sink + blob_get_u8(tb[id]);
			break;
		case BLOB_ATTR_INT32:
			sink = sink + blob_get_u32(tb[id]);
			break;
		case BLOB_ATTR_STRING:
			sink = sink + strlen(blob_get_string(tb[id]));
			break;
		case BLOB_ATTR_NESTED:
			walk(tb[id], 0);
			break;
		default:
			break;
		}
	}
	walk(root, 0);
	return 0;
}
