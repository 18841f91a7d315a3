// SPDX-License-Identifier: GPL-2.0-only
// A descriptor that closes itself when its owner goes: no close by hand on
// each way out of a function.
#pragma once

#include <unistd.h>

struct unique_fd {
	int fd = -1;

	unique_fd() = default;
	explicit unique_fd(int opened) : fd(opened)
	{
	}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	~unique_fd()
	{
		reset();
	}

	int get() const
	{
		return fd;
	}
	bool ok() const
	{
		return fd >= 0;
	}
	// Closes what it holds and takes `opened` instead.
	void reset(int opened = -1)
	{
		if (fd >= 0)
			close(fd);
		fd = opened;
	}
	// Gives the descriptor up to the caller, who closes it.
	int release()
	{
		int held = fd;
		fd = -1;
		return held;
	}
};
