// SPDX-License-Identifier: GPL-2.0-only
#include "record.h"

#include <stdio.h>
#include <string.h>

int record_format(const struct record *r, char *text, size_t size)
{
	int n = snprintf(
	    text, size,
	    "pid %ld\nboot %s\nnr_hugepages %ld %ld\nmount %ld\nmade_dir %lu\nmade_shm %lu\n",
	    r->pid, r->boot, r->found_pages, r->set_pages, r->mount_id, r->dir_ino, r->shm_ino);
	return n > 0 && (size_t)n < size ? n : -1;
}

bool record_parse(const char *text, struct record *r)
{
	struct record got;
	int end = -1, shm_end = -1;
	if (sscanf(text, "pid %ld\nboot %39s\nnr_hugepages %ld %ld\nmount %ld\nmade_dir %lu\n%n",
		   &got.pid, got.boot, &got.found_pages, &got.set_pages, &got.mount_id,
		   &got.dir_ino, &end) != 6 ||
	    end < 0)
		return false;
	if (text[end] != '\0' &&
	    (sscanf(text + end, "made_shm %lu\n%n", &got.shm_ino, &shm_end) != 1 || shm_end < 0))
		return false;
	end += shm_end > 0 ? shm_end : 0;
	if (text[end] != '\0' || text[end - 1] != '\n' || got.pid <= 0 || got.found_pages < -1 ||
	    got.mount_id < -1 || (got.found_pages >= 0) != (got.set_pages >= 0))
		return false;
	*r = got;
	return true;
}

enum count_action record_count_action(const struct record *r, long now)
{
	if (r->found_pages < 0)
		return COUNT_UNTOUCHED;
	return now == r->set_pages ? COUNT_RESTORE : COUNT_LEAVE;
}
