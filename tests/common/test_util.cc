#include "tests/common/test_util.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testutil {

TempDir::TempDir()
{
	char tmpl[] = "/tmp/aircoord-test-XXXXXX";
	const char *p = mkdtemp(tmpl);
	path_ = p ? p : "";
}

TempDir::~TempDir()
{
	if (!path_.empty()) {
		std::error_code ec;
		std::filesystem::remove_all(path_, ec);
	}
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
	auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!cond()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return cond();
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	return true;
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

std::string emulator()
{
	const char *e = getenv("AIRCOORD_EMULATOR");
	return e ? e : "";
}

Command::Command(const std::string &program, const std::vector<std::string> &args)
{
	std::istringstream in(emulator());
	for (std::string w; in >> w;)
		words_.push_back(w);
	words_.push_back(program);
	words_.insert(words_.end(), args.begin(), args.end());
	for (std::string &w : words_)
		ptrs_.push_back(w.data());
	ptrs_.push_back(nullptr);
}

std::string Command::shell() const
{
	std::string s;
	for (const std::string &w : words_) {
		if (!s.empty())
			s += ' ';
		s += '\'';
		for (char c : w)
			s += c == '\'' ? std::string("'\\''") : std::string(1, c);
		s += '\'';
	}
	return s;
}

} // namespace testutil
