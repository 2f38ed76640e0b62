// Redirects the process's stderr (descriptor 2) into a file for the life of
// the object, for tests of code that writes there directly.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/common/test_util.h"

class StderrCapture
{
      public:
	explicit StderrCapture(std::string path) : path_(std::move(path))
	{
		fflush(stderr);
		saved_ = dup(2);
		int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
		dup2(fd, 2);
		close(fd);
	}
	~StderrCapture()
	{
		finish();
	}
	StderrCapture(const StderrCapture &) = delete;
	StderrCapture &operator=(const StderrCapture &) = delete;

	// Restores stderr and returns what was written meanwhile.
	std::string finish()
	{
		if (saved_ >= 0) {
			fflush(stderr);
			dup2(saved_, 2);
			close(saved_);
			saved_ = -1;
		}
		return testutil::read_file(path_);
	}

      private:
	std::string path_;
	int saved_ = -1;
};
