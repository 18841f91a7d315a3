// SPDX-License-Identifier: GPL-2.0-only
// What the floors with no C library stand on (x86-64 only): raw system
// calls and a _start that hands main its arguments and environment. Built
// with -nostdlib -static -ffreestanding: nothing runs but what is written.
#pragma once

#include <asm/unistd.h>

static inline long sys(long n, long a, long b, long c, long d, long e, long f)
{
	register long r10 __asm__("r10") = d;
	register long r8 __asm__("r8") = e;
	register long r9 __asm__("r9") = f;
	long ret;
	__asm__ volatile("syscall"
			 : "=a"(ret)
			 : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
			 : "rcx", "r11", "memory");
	return ret;
}

#define SYS1(n, a) sys(n, (long)(a), 0, 0, 0, 0, 0)
#define SYS2(n, a, b) sys(n, (long)(a), (long)(b), 0, 0, 0, 0)
#define SYS3(n, a, b, c) sys(n, (long)(a), (long)(b), (long)(c), 0, 0, 0)
#define SYS4(n, a, b, c, d) sys(n, (long)(a), (long)(b), (long)(c), (long)(d), 0, 0)
#define SYS6(n, a, b, c, d, e, f)                                                                  \
	sys(n, (long)(a), (long)(b), (long)(c), (long)(d), (long)(e), (long)(f))

// What musl passes where glibc's headers say 0 on this architecture.
#define LARGEFILE 0100000

int main(int argc, char **argv, char **envp);

__attribute__((used)) static void start(long *sp)
{
	int argc = (int)sp[0];
	char **argv = (char **)(sp + 1);
	SYS1(__NR_exit_group, main(argc, argv, argv + argc + 1));
}

__asm__(".globl _start\n"
	"_start:\n"
	"	xor %rbp, %rbp\n"
	"	mov %rsp, %rdi\n"
	"	and $-16, %rsp\n"
	"	call start\n"
	"	hlt\n");
