// SPDX-License-Identifier: GPL-2.0-only
#include "trace.h"

#include "util.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/utsname.h>
#include <unistd.h>

// The kernel's seccomp and BPF ABI, as <linux/seccomp.h>, <linux/filter.h>
// and <linux/audit.h> define it; spelled out so that C libraries that come
// without kernel headers (musl's) build this too.
struct bpf_insn {
	uint16_t code;
	uint8_t jt, jf;
	uint32_t k;
};
struct bpf_program {
	unsigned short len;
	const struct bpf_insn *insns;
};
#define BPF_LD_ABS 0x20 // BPF_LD | BPF_W | BPF_ABS
#define BPF_JEQ_K 0x15	// BPF_JMP | BPF_JEQ | BPF_K
#define BPF_RET_K 0x06	// BPF_RET | BPF_K
#define SECCOMP_MODE_FILTER_ 2
#define SECCOMP_RET_TRACE_ 0x7ff00000U
#define SECCOMP_RET_ALLOW_ 0x7fff0000U
// Offsets in struct seccomp_data: nr, arch, then args[6] from 16 (64 bits
// each, low half first on these little-endian machines).
#define DATA_NR 0
#define DATA_ARCH 4
#define DATA_ARG1_LOW 24
#define DATA_ARG1_HIGH 28

#if defined(__x86_64__)
#define AUDIT_ARCH_ 0xc000003eU
#elif defined(__aarch64__)
#define AUDIT_ARCH_ 0xc00000b7U
#endif

#ifdef AUDIT_ARCH_
// Stop at mmap and munmap of exactly 16 MiB; everything else runs freely.
static const struct bpf_insn filter[] = {
    {BPF_LD_ABS, 0, 0, DATA_ARCH},
    {BPF_JEQ_K, 0, 8, AUDIT_ARCH_},
    {BPF_LD_ABS, 0, 0, DATA_NR},
    {BPF_JEQ_K, 1, 0, __NR_mmap},
    {BPF_JEQ_K, 0, 5, __NR_munmap},
    {BPF_LD_ABS, 0, 0, DATA_ARG1_LOW},
    {BPF_JEQ_K, 0, 3, (unsigned)CHECK_LENGTH},
    {BPF_LD_ABS, 0, 0, DATA_ARG1_HIGH},
    {BPF_JEQ_K, 0, 1, 0},
    {BPF_RET_K, 0, 0, SECCOMP_RET_TRACE_},
    {BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW_},
};
#endif

struct said {
	char mode;
	int err;
	const char *what;
};

// Before 4.8 a seccomp stop came before the syscall-entry stop, so that
// resuming it to see the call return would stop at its entry instead.
static bool seccomp_stops_in_order(void)
{
	struct utsname u;
	int major = 0, minor = 0;
	return uname(&u) == 0 && sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
	       (major > 4 || (major == 4 && minor >= 8));
}

void trace_child(int report_fd)
{
	struct said said = {TRACE_SECCOMP, 0, nullptr};
#ifdef AUDIT_ARCH_
	struct bpf_program prog = {sizeof(filter) / sizeof(filter[0]), filter};
	if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
		said = {TRACE_OFF, errno, "ptrace"};
	else if (!seccomp_stops_in_order())
		said = {TRACE_SYSCALLS, 0, "a seccomp filter (kernel before 4.8)"};
	else if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER_, &prog) != 0)
		said = {TRACE_SYSCALLS, errno, "a seccomp filter"};
#else
	said = {TRACE_OFF, ENOSYS, "tracing on this architecture"};
#endif
	ssize_t n = write(report_fd, &said, sizeof(said));
	(void)n;
}

void trace_started(struct trace *t, int report_fd)
{
	struct said said = {TRACE_OFF, EPIPE, "the traced child"};
	memset(t, 0, sizeof(*t));
	if (read(report_fd, &said, sizeof(said)) != (ssize_t)sizeof(said))
		said = {TRACE_OFF, EPIPE, "the traced child"};
	t->mode = (enum trace_mode)said.mode;
	t->why_errno = said.err;
	t->why_what = said.what; // a literal of this same program image
}

#ifdef AUDIT_ARCH_
struct call {
	long nr, args[6], ret;
};

static bool registers(pid_t pid, struct call *c)
{
	struct user_regs_struct regs;
	struct iovec io = {&regs, sizeof(regs)};
	if (ptrace(PTRACE_GETREGSET, pid, (void *)NT_PRSTATUS, &io) != 0)
		return false;
#if defined(__x86_64__)
	*c = {(long)regs.orig_rax,
	      {(long)regs.rdi, (long)regs.rsi, (long)regs.rdx, (long)regs.r10, (long)regs.r8,
	       (long)regs.r9},
	      (long)regs.rax};
#else
	*c = {(long)regs.regs[8],
	      {(long)regs.regs[0], (long)regs.regs[1], (long)regs.regs[2], (long)regs.regs[3],
	       (long)regs.regs[4], (long)regs.regs[5]},
	      (long)regs.regs[0]};
#endif
	return true;
}

// The resident pages the check would read from its statm now.
static long resident(pid_t pid)
{
	char path[32];
	snprintf(path, sizeof(path), "/proc/%d/statm", (int)pid);
	return statm_resident(path);
}

// Its Rss from a walk of its page tables, exact where statm may lag.
static long rss_kb(pid_t pid)
{
	char path[40];
	snprintf(path, sizeof(path), "/proc/%d/smaps_rollup", (int)pid);
	return text_field(path, "\nRss:");
}

static long hugetlb_kb(pid_t pid)
{
	char path[40];
	snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
	return text_field(path, "HugetlbPages:");
}

// How often the scheduler has moved it between CPUs, or -1 where the kernel
// does not say (no CONFIG_SCHED_DEBUG): "se.nr_migrations   :   5".
static long migrations(pid_t pid)
{
	char path[32], text[8192];
	snprintf(path, sizeof(path), "/proc/%d/sched", (int)pid);
	if (read_text(path, text, sizeof(text)) <= 0)
		return -1;
	const char *at = strstr(text, "\nse.nr_migrations");
	at = at ? strchr(at, ':') : nullptr;
	return at ? strtol(at + 1, nullptr, 10) : -1;
}

static void call_entered(struct trace *t, pid_t pid)
{
	struct call c;
	t->call = 0;
	if (!registers(pid, &c) || c.args[1] != CHECK_LENGTH)
		return;
	if (c.nr == __NR_mmap && t->probes < PROBES) {
		struct probe_seen *p = &t->probe[t->probes];
		*p = {c.args[3],
		      (long)(int)c.args[4],
		      false,
		      -ENOSYS,
		      false,
		      0,
		      {resident(pid), -1, -1},
		      {rss_kb(pid), -1, -1},
		      {hugetlb_kb(pid), -1, -1},
		      {migrations(pid), -1, -1},
		      -1,
		      -1};
		t->current = t->probes++;
		t->call = __NR_mmap;
	} else if (c.nr == __NR_munmap) {
		for (int i = t->probes - 1; i >= 0; i--) {
			if (t->probe[i].mapped == c.args[0]) {
				t->current = i;
				t->call = __NR_munmap;
				break;
			}
		}
	}
}

static void call_returned(struct trace *t, pid_t pid)
{
	struct call c;
	if (!t->call || !registers(pid, &c))
		return;
	struct probe_seen *p = &t->probe[t->current];
	if (t->call == __NR_mmap) {
		p->returned = true;
		p->mapped = c.ret;
		p->statm[1] = resident(pid);
		p->rss_kb[1] = rss_kb(pid);
		p->huge_kb[1] = hugetlb_kb(pid);
		p->migrations[1] = migrations(pid);
		// Whether others took the huge pages, seen while it is refused.
		if (c.ret == -ENOMEM)
			p->pool_free = text_field("/proc/meminfo", "HugePages_Free:"),
			p->pool_resv = text_field("/proc/meminfo", "HugePages_Rsvd:");
	} else {
		p->unmap_seen = true;
		p->unmapped = c.ret;
		p->statm[2] = resident(pid);
		p->rss_kb[2] = rss_kb(pid);
		p->huge_kb[2] = hugetlb_kb(pid);
		p->migrations[2] = migrations(pid);
	}
	t->call = 0;
}
#endif

void trace_stop(struct trace *t, pid_t pid, int status)
{
	int sig = WSTOPSIG(status), event = status >> 16;
	bool to_syscall = t->mode == TRACE_SYSCALLS; // else to the next stop of any kind
	long deliver = 0;

	t->stops++;
#ifdef AUDIT_ARCH_
	if (!t->started) {
		// The stop at exec, before any call of the check's own.
		long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
		if (t->mode == TRACE_SECCOMP)
			options |= PTRACE_O_TRACESECCOMP;
		ptrace(PTRACE_SETOPTIONS, pid, nullptr, (void *)options);
		t->started = true;
		t->entering = true;
	} else if (event == PTRACE_EVENT_SECCOMP) {
		call_entered(t, pid);
		to_syscall = true; // to see it return
	} else if (sig == (SIGTRAP | 0x80)) {
		if (t->mode == TRACE_SECCOMP || !t->entering)
			call_returned(t, pid);
		else
			call_entered(t, pid);
		t->entering = !t->entering;
	} else if (event == 0) {
		// A signal for the check: deliver it. A group stop has no
		// signal information; it is let go, as nothing here stops.
		siginfo_t si;
		if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &si) == 0)
			deliver = sig;
	}
#else
	(void)sig;
	(void)event;
#endif
	if (to_syscall)
		ptrace(PTRACE_SYSCALL, pid, nullptr, (void *)deliver);
	else
		ptrace(PTRACE_CONT, pid, nullptr, (void *)deliver);
}
