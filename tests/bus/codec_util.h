// Helpers for the codec tests: hex text of bytes, and blob buffers that free
// themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bus/blob.h"

namespace codectest {

// Lower-case hex of `len` bytes, no separators.
std::string hex(const void *p, size_t len);
// Keeps only the hex digits, so that captures may be written grouped
// ("0000000c | 01000008 ...").
std::string squeeze(const std::string &text);

// Bytes from hex text in a heap block of exactly their size, so that the
// address sanitizer catches any read past the end.
struct Wire {
	std::unique_ptr<uint8_t[]> bytes;
	size_t len = 0;
	explicit Wire(const std::string &text);
	struct blob_attr *attr() const { return reinterpret_cast<struct blob_attr *>(bytes.get()); }
};

// A blob_buf initialised with root id `id`, freed on destruction.
struct Buf {
	struct blob_buf b = {};
	explicit Buf(int id = 0);
	~Buf();
	Buf(const Buf &) = delete;
	Buf &operator=(const Buf &) = delete;
	struct blob_buf *operator&() { return &b; }
	struct blob_attr *root() const { return b.head; }
	// The root's first child.
	struct blob_attr *first() const
	{
		return static_cast<struct blob_attr *>(blob_data(b.head));
	}
	// The whole root, padding included.
	std::string hex_all() const { return hex(b.head, blob_pad_len(b.head)); }
};

// Adds the nesting example: a table "radio" holding a 16-bit, a 64-bit and
// a double field and a list of four mixed entries, the last a table.
void build_radio(struct blob_buf *b);

} // namespace codectest
