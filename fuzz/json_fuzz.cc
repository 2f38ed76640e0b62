// Renders arbitrary bytes as JSON after the checks a real reader applies
// (the message root must fit the bytes received; DATA is found by id), and
// converts the same bytes, read as JSON text, to blobmsg and back to text.
#include "bus/blobmsg_json.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int ATTR_DATA = 7;
const int ATTR_MAX = 14;

void render(struct blob_attr *attr)
{
	free(blobmsg_format_json(attr, true));
	free(blobmsg_format_json(attr, false));
	free(blobmsg_format_json_indent(attr, true, 0));
	free(blobmsg_format_json_indent(attr, false, 2));
	free(blobmsg_format_json_value_with_cb(attr, nullptr, nullptr, -1));
}

void from_text(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);
	struct blob_buf b = {};
	if (blobmsg_buf_init(&b) == 0 && blobmsg_add_json_from_string(&b, text.c_str())) {
		// What the converter builds must pass a reader's validation. An
		// empty JSON key makes an empty-named member, so names are not
		// demanded.
		struct blob_attr *cur;
		size_t rem;
		blob_for_each_attr(cur, b.head, rem)
		{
			if (!blobmsg_check_attr(cur, false))
				abort();
		}
		char *s = blobmsg_format_json(b.head, true);
		if (!s || s[0] != '{')
			abort();
		free(s);
	}
	blob_buf_free(&b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	from_text(data, size);

	auto *root = reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(data));
	if (!blob_attr_fits(root, size))
		return 0;
	render(root);

	const struct blob_attr_info info[ATTR_MAX] = {};
	struct blob_attr *tb[ATTR_MAX];
	blob_parse(root, tb, info, ATTR_MAX);
	if (tb[ATTR_DATA])
		render(tb[ATTR_DATA]);
	return 0;
}
