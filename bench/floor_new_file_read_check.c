// The floor for new_file_read_check: the same system calls (poll of the
// standard descriptors, open, read) and nothing else.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	char buf[4];
	struct pollfd std_fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	(void)argc;
	poll(std_fds, 3, 0);
	return read(open(argv[1], O_RDWR | O_CREAT, 0600), buf, sizeof(buf)) != 0;
}
