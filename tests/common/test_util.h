// Helpers shared by the test binaries: private temp dirs and waiting for a
// condition instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

// The emulator that runs the project's programs when they are built for
// another CPU (AIRCOORD_EMULATOR, words separated by spaces), or "" when
// they run natively.
std::string emulator();

// A command line that starts one of the project's programs, behind the
// emulator when there is one. Build it before fork(), then execvp(argv[0],
// argv) in the child: the emulator is found on PATH.
class Command {
public:
	Command(const std::string &program, const std::vector<std::string> &args = {});
	Command(const Command &) = delete;
	Command &operator=(const Command &) = delete;
	char *const *argv() { return ptrs_.data(); }
	// The words for a shell, each single-quoted.
	std::string shell() const;

private:
	std::vector<std::string> words_;
	std::vector<char *> ptrs_;
};

} // namespace testutil
