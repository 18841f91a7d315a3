// SPDX-License-Identifier: GPL-2.0-only
// new_file_read_check <path>: creates the file at <path> (or opens the one
// there) and checks that its first read returns end-of-file.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

// A standard descriptor closed at start would be the next open's: with fd 2
// closed, the path under test would become standard error and the EOF
// message would be written into it. One poll() tells which are closed.
static void open_standard_fds(void)
{
	struct pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	poll(fds, 3, 0);
	for (int i = 0; i < 3; i++)
		if (fds[i].revents & POLLNVAL && open("/dev/null", O_RDWR) < 0)
			open("/", O_RDONLY); // no /dev/null: a directory takes no writes
}

int main(int argc, char **argv)
{
	char buf[4];

	open_standard_fds();
	if (argc < 2) {
		// An empty argv (execve with no arguments) has no name to print.
		fprintf(stderr, "usage: %s <path>\n", argc > 0 ? argv[0] : "new_file_read_check");
		return 1;
	}
	// No O_TRUNC, no O_EXCL: an existing file is read as it is, never changed.
	int fd = open(argv[1], O_RDWR | O_CREAT, 0600);
	if (fd < 0) {
		// The prefix is what logs and scripts search for; keep it.
		perror("open(O_WRONLY)");
		return 1;
	}
	if (read(fd, buf, sizeof(buf)) != 0) {
		fprintf(stderr, "Reading a new var should return EOF\n");
		return 1;
	}
	return 0;
}
