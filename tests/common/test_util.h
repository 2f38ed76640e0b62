// Helpers shared by the test binaries: private temp dirs and waiting for a
// condition instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testutil {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

// Polls `cond` until it holds or `timeout` passes; returns its last value.
bool wait_until(const std::function<bool()> &cond,
		std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Whole file as a string ("" when it cannot be read).
std::string read_file(const std::string &path);

} // namespace testutil
