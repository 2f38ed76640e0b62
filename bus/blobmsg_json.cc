#include "bus/blobmsg_json.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Growing text in a libc heap block, handed to the caller at the end. An
// allocation failure is sticky: the result is then null.
struct json_text {
	char *buf = nullptr;
	size_t len = 0;
	size_t cap = 0;
	bool failed = false;

	~json_text() { free(buf); }

	bool reserve(size_t extra)
	{
		if (failed)
			return false;
		if (len + extra + 1 <= cap)
			return true;
		size_t ncap = cap ? cap : 256;
		while (ncap < len + extra + 1)
			ncap *= 2;
		char *p = static_cast<char *>(realloc(buf, ncap));
		if (!p) {
			failed = true;
			return false;
		}
		buf = p;
		cap = ncap;
		return true;
	}

	void add(const char *s, size_t n)
	{
		if (!reserve(n))
			return;
		memcpy(buf + len, s, n);
		len += n;
		buf[len] = '\0';
	}

	void add(const char *s) { add(s, strlen(s)); }

	void add(char c) { add(&c, 1); }

	void tabs(int n)
	{
		add('\n');
		for (int i = 0; i < n; i++)
			add('\t');
	}

	char *take()
	{
		if (failed || !reserve(0))
			return nullptr;
		buf[len] = '\0';
		char *p = buf;
		buf = nullptr;
		return p;
	}
};

void add_escaped(json_text &out, const char *s, size_t maxlen)
{
	static const char hexdig[] = "0123456789abcdef";

	out.add('"');
	size_t run = 0; // bytes copied as they are, flushed in one go
	size_t i = 0;
	for (; i < maxlen && s[i]; i++) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		const char *esc = nullptr;
		char u[7];
		switch (c) {
		case '"':
			esc = "\\\"";
			break;
		case '\\':
			esc = "\\\\";
			break;
		case '\b':
			esc = "\\b";
			break;
		case '\n':
			esc = "\\n";
			break;
		case '\t':
			esc = "\\t";
			break;
		case '\r':
			esc = "\\r";
			break;
		default:
			if (c < 0x20) {
				memcpy(u, "\\u00", 4);
				u[4] = hexdig[c >> 4];
				u[5] = hexdig[c & 15];
				u[6] = '\0';
				esc = u;
			}
			break;
		}
		if (!esc) {
			run++;
			continue;
		}
		out.add(s + i - run, run);
		run = 0;
		out.add(esc);
	}
	out.add(s + i - run, run);
	out.add('"');
}

void add_scalar(json_text &out, const struct blob_attr *cattr)
{
	// The getters take a plain pointer, as the router's declare them, but
	// only read through it.
	struct blob_attr *attr = const_cast<struct blob_attr *>(cattr);
	const char *data = static_cast<const char *>(blobmsg_data(attr));
	size_t len = blobmsg_data_len(attr);
	char num[400]; // room for the longest "%lf" of a double (309 digits)

	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_INT8:
		out.add(blobmsg_get_bool(attr) ? "true" : "false");
		return;
	case BLOBMSG_TYPE_INT16:
		snprintf(num, sizeof(num), "%d", int(int16_t(blobmsg_get_u16(attr))));
		break;
	case BLOBMSG_TYPE_INT32:
		snprintf(num, sizeof(num), "%d", int(int32_t(blobmsg_get_u32(attr))));
		break;
	case BLOBMSG_TYPE_INT64:
		snprintf(num, sizeof(num), "%" PRId64, int64_t(blobmsg_get_u64(attr)));
		break;
	case BLOBMSG_TYPE_DOUBLE:
		snprintf(num, sizeof(num), "%lf", blobmsg_get_double(attr));
		break;
	case BLOBMSG_TYPE_STRING:
		add_escaped(out, data, len);
		return;
	default:
		out.add("null");
		return;
	}
	out.add(num);
}

// One open container of the walk: where its remaining children are.
struct json_frame {
	const char *pos;
	size_t rem;
	int level;
	bool array;
	bool first;
};

// Nesting comes from outside and is only bounded by the message size, so the
// walk keeps its own stack on the heap instead of recursing.
struct json_writer {
	json_text out;
	blobmsg_json_format_t cb;
	void *priv;
	bool indent;
	json_frame *stack = nullptr;
	size_t depth = 0;
	size_t stack_cap = 0;

	json_writer(blobmsg_json_format_t cb_, void *priv_, int indent_)
		: cb(cb_), priv(priv_), indent(indent_ >= 0)
	{
	}

	~json_writer() { free(stack); }

	void open(const void *data, size_t len, bool array, int level)
	{
		if (depth == stack_cap) {
			size_t ncap = stack_cap ? stack_cap * 2 : 16;
			void *p = realloc(stack, ncap * sizeof(*stack));
			if (!p) {
				out.failed = true;
				return;
			}
			stack = static_cast<json_frame *>(p);
			stack_cap = ncap;
		}
		stack[depth++] = {static_cast<const char *>(data), len, level, array, true};
		out.add(array ? '[' : '{');
		if (indent)
			out.tabs(level + 1);
	}

	void open_container(const struct blob_attr *attr, int level)
	{
		open(blobmsg_data(attr), blobmsg_data_len(attr),
		     blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY, level);
	}

	// The value of a valid attribute; containers are opened, not finished.
	void value(const struct blob_attr *attr, int level)
	{
		if (cb) {
			const char *text = cb(priv, const_cast<struct blob_attr *>(attr));
			if (text) {
				out.add(text);
				return;
			}
		}
		int type = blobmsg_type(attr);
		if (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY)
			open_container(attr, level);
		else
			add_scalar(out, attr);
	}

	// An element: a member that fails validation prints nothing at all.
	void element(const struct blob_attr *attr, bool with_name, int level)
	{
		if (!blobmsg_check_attr(attr, false))
			return;
		const char *name = blobmsg_name(attr);
		if (with_name && name[0]) {
			add_escaped(out, name, SIZE_MAX);
			out.add(indent ? ": " : ":");
		}
		value(attr, level);
	}

	void run()
	{
		while (depth > 0 && !out.failed) {
			json_frame &f = stack[depth - 1];
			const auto *cur = reinterpret_cast<const struct blob_attr *>(f.pos);
			if (f.rem < sizeof(struct blob_attr) ||
			    blob_raw_len(cur) < sizeof(struct blob_attr) ||
			    blob_pad_len(cur) > f.rem) {
				if (indent)
					out.tabs(f.level);
				out.add(f.array ? ']' : '}');
				depth--;
				continue;
			}
			f.pos += blob_pad_len(cur);
			f.rem -= blob_pad_len(cur);
			if (!f.first) {
				out.add(',');
				if (indent)
					out.tabs(f.level + 1);
			}
			f.first = false;
			// `f` may move when element() opens a container.
			element(cur, !f.array, f.level + 1);
		}
	}
};

} // namespace

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb,
				  void *priv, int indent)
{
	if (!attr)
		return nullptr;

	json_writer w(cb, priv, indent);
	int level = indent < 0 ? 0 : indent;
	if (list) {
		bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
		w.open(blobmsg_data(attr), blobmsg_data_len(attr), array, level);
	} else {
		w.element(attr, true, level);
	}
	w.run();
	return w.out.take();
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb,
					void *priv, int indent)
{
	if (!attr)
		return nullptr;

	json_writer w(cb, priv, indent);
	w.element(attr, false, indent < 0 ? 0 : indent);
	w.run();
	return w.out.take();
}

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, json_object *obj)
{
	void *c;

	switch (json_object_get_type(obj)) {
	case json_type_object:
		c = blobmsg_open_table(b, name);
		if (!c)
			return false;
		if (!blobmsg_add_object(b, obj)) {
			blobmsg_close_table(b, c);
			return false;
		}
		blobmsg_close_table(b, c);
		return true;
	case json_type_array: {
		c = blobmsg_open_array(b, name);
		if (!c)
			return false;
		bool ok = true;
		size_t n = json_object_array_length(obj);
		for (size_t i = 0; ok && i < n; i++) {
			json_object *elem = json_object_array_get_idx(obj, i);
			ok = blobmsg_add_json_element(b, nullptr, elem);
		}
		blobmsg_close_array(b, c);
		return ok;
	}
	case json_type_string:
		return blobmsg_add_string(b, name, json_object_get_string(obj)) == 0;
	case json_type_boolean:
		return blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0) == 0;
	case json_type_int: {
		int64_t v = json_object_get_int64(obj);
		if (v >= INT32_MIN && v <= INT32_MAX)
			return blobmsg_add_u32(b, name, uint32_t(int32_t(v))) == 0;
		return blobmsg_add_u64(b, name, uint64_t(v)) == 0;
	}
	case json_type_double:
		return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
	case json_type_null:
		return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
	}
	return false;
}

bool blobmsg_add_object(struct blob_buf *b, json_object *obj)
{
	if (json_object_get_type(obj) != json_type_object)
		return false;
	json_object_object_foreach(obj, key, val)
	{
		if (!blobmsg_add_json_element(b, key, val))
			return false;
	}
	return true;
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	if (!str)
		return false;
	json_object *obj = json_tokener_parse(str);
	if (!obj)
		return false;
	bool ok = json_object_get_type(obj) == json_type_object && blobmsg_add_object(b, obj);
	json_object_put(obj);
	return ok;
}
