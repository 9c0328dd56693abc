/*
 * Preloaded into lmfs-host by the fault matrix (fault_matrix_test.cpp): counts
 * the C library calls that the plug-in makes while one chosen operation runs,
 * and makes one of them fail.
 *
 * The window.  Calls are counted only between two moments the host shows:
 *   - for an operation OP run with --echo, from the moment the host has
 *     written its echo line ("> OP ...") to standard output until it starts
 *     the next line there (the result);
 *   - for "new", from the moment the plug-in's root-module constructor
 *     returns (the host's last step of loading it, LMFS_FI_HEADER) until the
 *     host writes its first line (the result of `new`);
 *   - for "load", the loading itself: from the return of the dlopen() that
 *     loads the plug-in until its root-module constructor returns (the host
 *     calls into the plug-in for its self-test and layout check).
 * Only the first such window of a run counts.  Inside it a call counts only
 * when the plug-in's own code is on the stack (its executable segments, found
 * by the file name in LMFS_FI_OBJECT), so that what the host does around the
 * operation (reading its arguments, rendering the result) is left out, while
 * what the C library and the C++ runtime do for the plug-in is in: a malloc
 * reached through operator new, strdup or fopen counts as a malloc.  Only
 * calls of the host process itself count: the constructor removes
 * LD_PRELOAD, so the tools the plug-in starts run without this library, and
 * a call is counted only in the process that loaded it.
 *
 * Environment:
 *   LMFS_FI_OP      "new", "load", or the operation whose echo line opens
 *                   the window
 *   LMFS_FI_OBJECT  the plug-in's file name, without directory
 *   LMFS_FI_HEADER  SYMBOL:OFFSET, for "new" and "load": the plug-in's
 *                   library header and the offset of its constructor
 *                   pointer in it; the pointer is replaced when the
 *                   plug-in is loaded
 *   LMFS_FI_FAIL    FN:K:ERRNO, the one fault: the K-th counted call of FN
 *                   fails with ERRNO (a number); none: only count
 *   LMFS_FI_REPORT  the file the report lines are appended to
 *   LMFS_FI_STD     "closed": the host's standard input and error are closed
 *                   while the window is open, as in a host started without
 *                   them, so that what the plug-in opens takes their
 *                   numbers.  What is written to standard error meanwhile is
 *                   copied to the host's real one, which is kept aside; at
 *                   the close both are given back.
 *   LMFS_FI_REMOVE  a file removed as the window opens, as by another
 *                   process while the host runs
 * Report lines:
 *   open                     the window opened
 *   fail FN K ERRNO OFF...   the fault is being injected; OFF: the return
 *                            addresses on the stack that lie in the plug-in,
 *                            as hexadecimal offsets from its load address
 *   count FN N               at the close, each function called N > 0 times
 *   left FD                  at the close, with LMFS_FI_STD=closed: the
 *                            plug-in left descriptor FD (0 or 2) open
 *   close                    the window closed
 * The fail line is written before the failure is returned, so it is there
 * even when the process then aborts.
 *
 * How a call fails: -1 (NULL, MAP_FAILED, EOF) with errno; __uflow, the
 * refill of a stream's buffer behind getc_unlocked (or getc_unlocked finding
 * it empty), returns EOF and marks the stream failed as a failed read does.
 * Where the C library releases the resource even when it reports a failure,
 * so does this one: close and fclose really close, munmap really unmaps.
 * waitpid with ECHILD first reaps the child, as when another part of the
 * process has reaped it; with any other errno the child is left running.
 * sem_post fails without posting, nanosleep without sleeping.
 * Two functions are counted apart by what they are asked: syscall only for
 * SYS_clone, the plug-in's start of a child (any other number passes
 * uncounted); and write on standard error, the plug-in's diagnostics, counts
 * as write_stderr, any other write as write.  Built with LMFS_FI_MALLOC it
 * also replaces malloc, calloc, realloc and aligned_alloc (not where a
 * sanitizer's runtime owns the allocator).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "lmfs_testing/preload_shim.h"

#define EXPORT __attribute__((visibility("default")))

#define FUNCTIONS(X)                                                                          \
	X(open) X(open64) X(openat) X(fopen) X(fopen64) X(__uflow) X(read) X(readlink)           \
	X(readlinkat) X(stat) X(fstat) X(fstatat) X(faccessat) X(lseek) X(ioctl) X(fcntl)        \
	X(pipe2) X(syscall) X(waitpid) X(linkat) X(mmap) X(munmap) X(sem_wait) X(sem_post)       \
	X(nanosleep) X(close) X(fclose) X(write) X(write_stderr) X(getcwd)         \
	X(malloc) X(calloc) X(realloc) X(aligned_alloc)

enum fn {
#define ENUM(name) FN_##name,
	FUNCTIONS(ENUM)
#undef ENUM
	FN_COUNT
};

static const char *const fn_names[FN_COUNT] = {
#define NAME(name) #name,
	FUNCTIONS(NAME)
#undef NAME
};

enum { BEFORE, OPEN, CLOSED };

enum { MAX_SEGMENTS = 8, MAX_FRAMES = 64, MAX_SHOWN = 12 };

static int window = BEFORE;
static pid_t owner;
static const char *op = "";
static size_t op_len; /* 0 for "new" and "load" */
static int load;      /* "load" */
static const char *object = "";
static const char *report_path;
static int fail_fn = -1;
static unsigned long fail_k;
static int fail_errno;
static unsigned long counts[FN_COUNT];

/* LMFS_FI_STD=closed: the host's standard input and error, kept aside while
 * the window is open (-1 otherwise). */
static int std_closed;
static int saved_in = -1, saved_err = -1;
static const char *remove_path; /* LMFS_FI_REMOVE */

/* The C library's syscall, found at the start: the plug-in's children call
 * it between clone and exec, where nothing may be looked up. */
static long (*next_syscall)(long number, ...);

/* The plug-in's executable segments, once found. */
static uintptr_t seg_lo[MAX_SEGMENTS], seg_hi[MAX_SEGMENTS];
static int segments;
static uintptr_t load_base;

/* Set while this library works, so that what it calls itself passes. */
static __thread __attribute__((tls_model("initial-exec"))) int busy;

__attribute__((format(printf, 1, 2))) static void report(const char *fmt, ...)
{
	char line[1024];
	va_list ap;
	int n, fd;

	if (report_path == NULL)
		return;
	va_start(ap, fmt);
	n = vsnprintf(line, sizeof line, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	if ((size_t)n >= sizeof line)
		n = sizeof line - 1;
	fd = LMFS_NEXT(open)(report_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	if (LMFS_NEXT(write)(fd, line, (size_t)n) != n) {
		/* A short report shows as a missing line; nothing else to do. */
	}
	LMFS_NEXT(close)(fd);
}

static int basename_is(const char *path, const char *name)
{
	const char *slash = strrchr(path, '/');

	return strcmp(slash != NULL ? slash + 1 : path, name) == 0;
}

static int find_segments(struct dl_phdr_info *info, size_t size, void *data)
{
	(void)size;
	(void)data;
	if (info->dlpi_name == NULL || !basename_is(info->dlpi_name, object))
		return 0;
	load_base = info->dlpi_addr;
	for (int i = 0; i < info->dlpi_phnum && segments < MAX_SEGMENTS; i++) {
		const ElfW(Phdr) *ph = &info->dlpi_phdr[i];

		if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X))
			continue;
		seg_lo[segments] = info->dlpi_addr + ph->p_vaddr;
		seg_hi[segments] = seg_lo[segments] + ph->p_memsz;
		segments++;
	}
	return 1;
}

static int in_plugin(const void *pc)
{
	uintptr_t a = (uintptr_t)pc;

	for (int i = 0; i < segments; i++) {
		if (a >= seg_lo[i] && a < seg_hi[i])
			return 1;
	}
	return 0;
}

static void report_fail(int fn, void *const *frames, int n)
{
	char offs[MAX_SHOWN * 20 + 1] = "";
	size_t used = 0;
	int shown = 0;

	for (int i = 0; i < n && shown < MAX_SHOWN; i++) {
		if (!in_plugin(frames[i]))
			continue;
		int w = snprintf(offs + used, sizeof offs - used, " %lx",
		                 (unsigned long)((uintptr_t)frames[i] - load_base));
		if (w < 0 || (size_t)w >= sizeof offs - used)
			break;
		used += (size_t)w;
		shown++;
	}
	report("fail %s %lu %d%s\n", fn_names[fn], fail_k, fail_errno, offs);
}

/*
 * Counts this call of fn when it falls in the window and comes from the
 * plug-in; true when it is the one to fail (errno is then set).
 */
static int should_fail(int fn)
{
	void *frames[MAX_FRAMES];
	int n, hit = 0;

	if (window != OPEN || busy || getpid() != owner)
		return 0;
	busy = 1;
	if (segments == 0)
		dl_iterate_phdr(find_segments, NULL);
	n = backtrace(frames, MAX_FRAMES);
	for (int i = 0; i < n; i++) {
		if (!in_plugin(frames[i]))
			continue;
		if (++counts[fn] == fail_k && fn == fail_fn) {
			report_fail(fn, frames, n);
			hit = 1;
		}
		break;
	}
	busy = 0;
	if (hit)
		errno = fail_errno;
	return hit;
}

/* Standard input and error closed, kept aside above the low numbers. */
static void close_std(void)
{
	saved_in = LMFS_NEXT(fcntl)(STDIN_FILENO, F_DUPFD_CLOEXEC, 10);
	saved_err = LMFS_NEXT(fcntl)(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
	LMFS_NEXT(close)(STDIN_FILENO);
	LMFS_NEXT(close)(STDERR_FILENO);
}

/* Gives them back; a descriptor the plug-in left in their place is reported
 * first (the host's resource line cannot see it once it is replaced). */
static void give_back_std(void)
{
	const int fds[2] = {STDIN_FILENO, STDERR_FILENO};
	int *const saved[2] = {&saved_in, &saved_err};

	for (int i = 0; i < 2; i++) {
		if (LMFS_NEXT(fcntl)(fds[i], F_GETFD) >= 0)
			report("left %d\n", fds[i]);
		if (*saved[i] >= 0) {
			dup2(*saved[i], fds[i]);
			LMFS_NEXT(close)(*saved[i]);
			*saved[i] = -1;
		}
	}
}

/* What is written to the closed standard error reaches the real one too. */
static void copy_to_saved_err(const void *p, size_t n)
{
	if (saved_err >= 0 && n > 0 && LMFS_NEXT(write)(saved_err, p, n) < 0) {
		/* Only a copy for the test's eyes. */
	}
}

static void close_window(void)
{
	window = CLOSED;
	busy = 1;
	if (std_closed)
		give_back_std();
	for (int i = 0; i < FN_COUNT; i++) {
		if (counts[i] != 0)
			report("count %s %lu\n", fn_names[i], counts[i]);
	}
	report("close\n");
	busy = 0;
}

/*
 * A line the host starts on standard output: the result line closes an open
 * window; true when it is the echo line that opens it (after it is written).
 */
static int stdout_line(const char *s, size_t n)
{
	if (busy)
		return 0;
	if (window == OPEN) {
		close_window();
		return 0;
	}
	return window == BEFORE && op_len > 0 && n > op_len + 2 && s[0] == '>' && s[1] == ' ' &&
	       memcmp(s + 2, op, op_len) == 0 && (s[op_len + 2] == ' ' || s[op_len + 2] == '\n');
}

static void open_window(void)
{
	window = OPEN;
	busy = 1;
	report("open\n");
	if (remove_path != NULL && unlink(remove_path) != 0)
		report("cannot remove %s\n", remove_path);
	if (std_closed)
		close_std();
	busy = 0;
}

__attribute__((constructor)) static void start(void)
{
	const char *fail = getenv("LMFS_FI_FAIL");
	const char *value;

	owner = getpid();
	if ((value = getenv("LMFS_FI_OP")) != NULL)
		op = value;
	load = strcmp(op, "load") == 0;
	op_len = load || strcmp(op, "new") == 0 ? 0 : strlen(op);
	if ((value = getenv("LMFS_FI_OBJECT")) != NULL)
		object = value;
	report_path = getenv("LMFS_FI_REPORT");
	std_closed = (value = getenv("LMFS_FI_STD")) != NULL && strcmp(value, "closed") == 0;
	remove_path = getenv("LMFS_FI_REMOVE");
	next_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
	if (fail != NULL) {
		char name[64];
		int err;
		unsigned long k;

		if (sscanf(fail, "%63[^:]:%lu:%d", name, &k, &err) == 3) {
			for (int i = 0; i < FN_COUNT; i++) {
				if (strcmp(fn_names[i], name) == 0)
					fail_fn = i;
			}
			fail_k = k;
			fail_errno = err;
		}
		if (fail_fn < 0)
			report("bad LMFS_FI_FAIL %s\n", fail);
	}
	/* The tools the plug-in starts run without this library. */
	unsetenv("LD_PRELOAD");
	/* The first backtrace loads the unwinder: not inside a counted call. */
	void *frames[4];
	busy = 1;
	backtrace(frames, 4);
	busy = 0;
}

/* ---- opening the window ------------------------------------------------ */

/* The constructor's answer: 40 bytes, returned in memory. */
struct root_module_result {
	uint64_t words[5];
};

static struct root_module_result (*real_constructor)(void);

static struct root_module_result constructor_then_open(void)
{
	struct root_module_result r = real_constructor();

	if (load && window == OPEN)
		close_window();
	else if (!load && window == BEFORE)
		open_window();
	return r;
}

/* Puts constructor_then_open in the loaded plug-in's header. */
static void hook_constructor(void *handle)
{
	const char *header = getenv("LMFS_FI_HEADER");
	char symbol[128];
	unsigned long offset;
	char *h;

	if (header == NULL || sscanf(header, "%127[^:]:%lu", symbol, &offset) != 2) {
		report("no LMFS_FI_HEADER\n");
		return;
	}
	h = dlsym(handle, symbol);
	if (h == NULL) {
		report("no header %s\n", symbol);
		return;
	}
	memcpy(&real_constructor, h + offset, sizeof real_constructor);
	struct root_module_result (*hook)(void) = constructor_then_open;
	memcpy(h + offset, &hook, sizeof hook);
}

EXPORT void *dlopen(const char *file, int flags)
{
	void *handle = LMFS_NEXT(dlopen)(file, flags);

	if (handle != NULL && window == BEFORE && op_len == 0 && real_constructor == NULL && file != NULL &&
	    !busy && basename_is(file, object)) {
		hook_constructor(handle);
		if (load)
			open_window();
	}
	return handle;
}

EXPORT int fputs(const char *s, FILE *stream)
{
	int opens = stream == stdout && stdout_line(s, strlen(s));
	int r = LMFS_NEXT(fputs)(s, stream);

	if (stream == stderr)
		copy_to_saved_err(s, strlen(s));
	if (opens)
		open_window();
	return r;
}

EXPORT size_t fwrite(const void *p, size_t size, size_t n, FILE *stream)
{
	int opens = stream == stdout && stdout_line(p, size * n);
	size_t r = LMFS_NEXT(fwrite)(p, size, n, stream);

	if (stream == stderr)
		copy_to_saved_err(p, size * n);
	if (opens)
		open_window();
	return r;
}

/* ---- the functions ------------------------------------------------------ */

/* FN(PARAMS), failing with FAILED, else the C library's FN(ARGS). */
#define FAILING(type, fn, failed, params, args)      \
	EXPORT type fn params                        \
	{                                            \
		if (should_fail(FN_##fn))            \
			return failed;               \
		return LMFS_NEXT(fn) args;           \
	}

/* The same for those that release their resource whatever they report. */
#define RELEASING(type, fn, failed, params, args)            \
	EXPORT type fn params                                \
	{                                                    \
		if (!should_fail(FN_##fn))                   \
			return LMFS_NEXT(fn) args;           \
		int err = errno;                             \
		LMFS_NEXT(fn) args;                          \
		errno = err;                                 \
		return failed;                               \
	}

/* Whether an open with these flags takes a mode, as the C library decides. */
static int needs_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define OPENING(fn, params, args)                                             \
	EXPORT int fn params                                                  \
	{                                                                     \
		va_list ap;                                                   \
		va_start(ap, flags);                                          \
		mode_t mode = needs_mode(flags) ? (mode_t)va_arg(ap, int) : 0; \
		va_end(ap);                                                   \
		if (should_fail(FN_##fn))                                     \
			return -1;                                            \
		return LMFS_NEXT(fn) args;                                    \
	}

OPENING(open, (const char *path, int flags, ...), (path, flags, mode))
OPENING(open64, (const char *path, int flags, ...), (path, flags, mode))
OPENING(openat, (int dirfd, const char *path, int flags, ...), (dirfd, path, flags, mode))
FAILING(FILE *, fopen, NULL, (const char *path, const char *mode), (path, mode))
FAILING(FILE *, fopen64, NULL, (const char *path, const char *mode), (path, mode))
FAILING(ssize_t, read, -1, (int fd, void *buf, size_t n), (fd, buf, n))
FAILING(ssize_t, readlink, -1, (const char *path, char *buf, size_t size), (path, buf, size))
FAILING(ssize_t, readlinkat, -1, (int dirfd, const char *path, char *buf, size_t size), (dirfd, path, buf, size))
FAILING(int, stat, -1, (const char *path, struct stat *st), (path, st))
FAILING(int, fstat, -1, (int fd, struct stat *st), (fd, st))
FAILING(int, fstatat, -1, (int dirfd, const char *path, struct stat *st, int flags), (dirfd, path, st, flags))
FAILING(int, faccessat, -1, (int dirfd, const char *path, int mode, int flags), (dirfd, path, mode, flags))
FAILING(off_t, lseek, (off_t)-1, (int fd, off_t offset, int whence), (fd, offset, whence))
FAILING(char *, getcwd, NULL, (char *buf, size_t size), (buf, size))
FAILING(int, pipe2, -1, (int fds[2], int flags), (fds, flags))
FAILING(int, linkat, -1, (int olddir, const char *old, int newdir, const char *new, int flags),
        (olddir, old, newdir, new, flags))
FAILING(void *, mmap, MAP_FAILED, (void *addr, size_t len, int prot, int flags, int fd, off_t off),
        (addr, len, prot, flags, fd, off))
FAILING(int, sem_wait, -1, (sem_t * sem), (sem))
FAILING(int, sem_post, -1, (sem_t * sem), (sem)) /* the lock stays held */
/* Linux releases the descriptor whatever close reports. */
RELEASING(int, close, -1, (int fd), (fd))
RELEASING(int, fclose, EOF, (FILE *stream), (stream))
RELEASING(int, munmap, -1, (void *addr, size_t len), (addr, len))

EXPORT int __uflow(FILE *stream)
{
	if (should_fail(FN___uflow)) {
		stream->_flags |= _IO_ERR_SEEN;
		return EOF;
	}
	return LMFS_NEXT(__uflow)(stream);
}

/*
 * Built without optimisation, the plug-in calls getc_unlocked itself, and the
 * refill happens inside the C library: a call that finds the buffer empty
 * counts as __uflow.  (Named through asm: with optimisation the header
 * defines getc_unlocked inline.)
 */
EXPORT int counted_getc_unlocked(FILE *stream) __asm__("getc_unlocked");
EXPORT int counted_getc_unlocked(FILE *stream)
{
	if (stream->_IO_read_ptr >= stream->_IO_read_end && should_fail(FN___uflow)) {
		stream->_flags |= _IO_ERR_SEEN;
		return EOF;
	}
	return LMFS_NEXT(getc_unlocked)(stream);
}

EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
	int opens = fd == STDOUT_FILENO && stdout_line(buf, n);

	if (should_fail(fd == STDERR_FILENO ? FN_write_stderr : FN_write))
		return -1;
	ssize_t r = LMFS_NEXT(write)(fd, buf, n);
	if (fd == STDERR_FILENO && !busy)
		copy_to_saved_err(buf, n);
	if (opens)
		open_window();
	return r;
}

static int counted_ioctl(int fd, unsigned long request, void *arg)
{
	if (should_fail(FN_ioctl))
		return -1;
	return LMFS_NEXT(ioctl)(fd, request, arg);
}
LMFS_DEFINE_IOCTL(counted_ioctl)

/* Every command the plug-in gives takes one argument or none. */
EXPORT int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	void *arg;

	va_start(ap, cmd);
	arg = va_arg(ap, void *);
	va_end(ap);
	if (should_fail(FN_fcntl))
		return -1;
	return LMFS_NEXT(fcntl)(fd, cmd, arg);
}

/*
 * Six arguments are passed on whatever the number, as the C library's own
 * syscall reads them: the kernel looks only at those the call has.
 */
EXPORT long syscall(long number, ...)
{
	va_list ap;
	long a[6];

	va_start(ap, number);
	for (int i = 0; i < 6; i++)
		a[i] = va_arg(ap, long);
	va_end(ap);
	if (number == SYS_clone && should_fail(FN_syscall))
		return -1;
	return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

EXPORT pid_t waitpid(pid_t pid, int *status, int options)
{
	if (should_fail(FN_waitpid)) {
		int err = errno;
		if (err == ECHILD)
			LMFS_NEXT(waitpid)(pid, NULL, options); /* reaped elsewhere */
		errno = err;
		return -1;
	}
	return LMFS_NEXT(waitpid)(pid, status, options);
}

/* Interrupted at once: nothing of the time has passed. */
EXPORT int nanosleep(const struct timespec *req, struct timespec *rem)
{
	if (should_fail(FN_nanosleep)) {
		if (rem != NULL)
			*rem = *req;
		return -1;
	}
	return LMFS_NEXT(nanosleep)(req, rem);
}

/* ---- memory -------------------------------------------------------------- */

#ifdef LMFS_FI_MALLOC
/* The C library's own allocator, taken directly: looking it up would allocate. */
extern void *__libc_malloc(size_t n);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t n);
extern void *__libc_memalign(size_t alignment, size_t n);

EXPORT void *malloc(size_t n)
{
	if (should_fail(FN_malloc))
		return NULL;
	return __libc_malloc(n);
}

EXPORT void *calloc(size_t n, size_t size)
{
	if (should_fail(FN_calloc))
		return NULL;
	return __libc_calloc(n, size);
}

EXPORT void *realloc(void *p, size_t n)
{
	if (should_fail(FN_realloc))
		return NULL;
	return __libc_realloc(p, n);
}
EXPORT void *aligned_alloc(size_t alignment, size_t n)
{
	if (should_fail(FN_aligned_alloc))
		return NULL;
	return __libc_memalign(alignment, n);
}
#endif
