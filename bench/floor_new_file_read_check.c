// The floor for new_file_read_check: the same system calls (open, read) and
// nothing else.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	char buf[4];
	(void)argc;
	return read(open(argv[1], O_RDWR | O_CREAT, 0600), buf, sizeof(buf)) != 0;
}
