// SPDX-License-Identifier: GPL-2.0-only
// The true floor for new_file_read_check: no C library, the system calls of
// its musl static build after musl's start-up (poll of the standard
// descriptors, open, read, exit) and nothing else.
#include "nolibc.h"

#include <fcntl.h>
#include <poll.h>

int main(int argc, char **argv, char **envp)
{
	struct pollfd std_fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	char buf[4];
	(void)argc;
	(void)envp;
	SYS3(__NR_poll, std_fds, 3, 0);
	long fd = SYS3(__NR_open, argv[1], O_RDWR | O_CREAT | LARGEFILE, 0600);
	return SYS3(__NR_read, fd, buf, sizeof(buf)) != 0;
}
