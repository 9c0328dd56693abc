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
 * Report lines:
 *   open                     the window opened
 *   fail FN K ERRNO OFF...   the fault is being injected; OFF: the return
 *                            addresses on the stack that lie in the plug-in,
 *                            as hexadecimal offsets from its load address
 *   count FN N               at the close, each function called N > 0 times
 *   close                    the window closed
 * The fail line is written before the failure is returned, so it is there
 * even when the process then aborts.
 *
 * How a call fails: -1 (NULL, SEM_FAILED, EOF) with errno, or the error
 * number for the posix_spawn functions.  Where the C library releases the
 * resource even when it reports a failure, so does this one: close, fclose
 * and sem_close really close, the *_destroy functions really destroy.
 * waitpid with ECHILD first reaps the child, as when another part of the
 * process has reaped it; with any other errno the child is left running.
 * sem_post fails without posting.  Built with LMFS_FI_MALLOC it also
 * replaces malloc, calloc and realloc (not where a sanitizer's runtime owns
 * the allocator).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <semaphore.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lmfs_testing/preload_shim.h"

#define EXPORT __attribute__((visibility("default")))

#define FUNCTIONS(X)                                                                        \
	X(open) X(open64) X(openat) X(fopen) X(fopen64) X(read) X(readlink) X(stat) X(lstat)   \
	X(fstat) X(fstatat) X(statx) X(lseek) X(ioctl) X(sem_open) X(sem_wait) X(sem_post)     \
	X(sem_close) X(close) X(fclose) X(write) X(posix_spawn) X(posix_spawnp)                \
	X(posix_spawn_file_actions_init) X(posix_spawn_file_actions_adddup2)                   \
	X(posix_spawn_file_actions_addclosefrom_np) X(posix_spawn_file_actions_destroy)        \
	X(posix_spawnattr_init) X(posix_spawnattr_setsigmask) X(posix_spawnattr_setsigdefault) \
	X(posix_spawnattr_setflags) X(posix_spawnattr_destroy) X(waitpid) X(getcwd) X(malloc)  \
	X(calloc) X(realloc)

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

static void close_window(void)
{
	window = CLOSED;
	busy = 1;
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

	if (opens)
		open_window();
	return r;
}

EXPORT size_t fwrite(const void *p, size_t size, size_t n, FILE *stream)
{
	int opens = stream == stdout && stdout_line(p, size * n);
	size_t r = LMFS_NEXT(fwrite)(p, size, n, stream);

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

/* The same for the posix_spawn functions, which return the error number. */
#define SPAWN_FAILING(fn, params, args)                          \
	EXPORT int fn params                                     \
	{                                                        \
		int saved = errno, err = 0;                      \
		if (should_fail(FN_##fn))                        \
			err = errno;                             \
		errno = saved;                                   \
		return err != 0 ? err : LMFS_NEXT(fn) args;      \
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

static mode_t mode_arg(int flags, va_list ap)
{
	return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

#define OPENING(fn, params, args)                          \
	EXPORT int fn params                               \
	{                                                  \
		va_list ap;                                \
		va_start(ap, flags);                       \
		mode_t mode = mode_arg(flags, ap);         \
		va_end(ap);                                \
		if (should_fail(FN_##fn))                  \
			return -1;                         \
		return LMFS_NEXT(fn) args;                 \
	}

OPENING(open, (const char *path, int flags, ...), (path, flags, mode))
OPENING(open64, (const char *path, int flags, ...), (path, flags, mode))
OPENING(openat, (int dirfd, const char *path, int flags, ...), (dirfd, path, flags, mode))
FAILING(FILE *, fopen, NULL, (const char *path, const char *mode), (path, mode))
FAILING(FILE *, fopen64, NULL, (const char *path, const char *mode), (path, mode))
FAILING(ssize_t, read, -1, (int fd, void *buf, size_t n), (fd, buf, n))
FAILING(ssize_t, readlink, -1, (const char *path, char *buf, size_t size), (path, buf, size))
FAILING(int, stat, -1, (const char *path, struct stat *st), (path, st))
FAILING(int, lstat, -1, (const char *path, struct stat *st), (path, st))
FAILING(int, fstat, -1, (int fd, struct stat *st), (fd, st))
FAILING(int, fstatat, -1, (int dirfd, const char *path, struct stat *st, int flags), (dirfd, path, st, flags))
FAILING(int, statx, -1, (int dirfd, const char *path, int flags, unsigned mask, struct statx *st),
        (dirfd, path, flags, mask, st))
FAILING(off_t, lseek, (off_t)-1, (int fd, off_t offset, int whence), (fd, offset, whence))
FAILING(char *, getcwd, NULL, (char *buf, size_t size), (buf, size))
/* Linux releases the descriptor whatever close reports. */
RELEASING(int, close, -1, (int fd), (fd))
RELEASING(int, fclose, EOF, (FILE *stream), (stream))

EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
	int opens = fd == STDOUT_FILENO && stdout_line(buf, n);

	if (should_fail(FN_write))
		return -1;
	ssize_t r = LMFS_NEXT(write)(fd, buf, n);
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

EXPORT sem_t *sem_open(const char *name, int flags, ...)
{
	mode_t mode = 0;
	unsigned value = 0;

	if (flags & O_CREAT) {
		va_list ap;
		va_start(ap, flags);
		mode = (mode_t)va_arg(ap, int);
		value = va_arg(ap, unsigned);
		va_end(ap);
	}
	if (should_fail(FN_sem_open))
		return SEM_FAILED;
	return LMFS_NEXT(sem_open)(name, flags, mode, value);
}

FAILING(int, sem_wait, -1, (sem_t * sem), (sem))
FAILING(int, sem_post, -1, (sem_t * sem), (sem)) /* the lock stays held */
RELEASING(int, sem_close, -1, (sem_t * sem), (sem))

SPAWN_FAILING(posix_spawn,
              (pid_t * pid, const char *path, const posix_spawn_file_actions_t *actions,
               const posix_spawnattr_t *attr, char *const argv[], char *const envp[]),
              (pid, path, actions, attr, argv, envp))
SPAWN_FAILING(posix_spawnp,
              (pid_t * pid, const char *file, const posix_spawn_file_actions_t *actions,
               const posix_spawnattr_t *attr, char *const argv[], char *const envp[]),
              (pid, file, actions, attr, argv, envp))
SPAWN_FAILING(posix_spawn_file_actions_init, (posix_spawn_file_actions_t * a), (a))
SPAWN_FAILING(posix_spawn_file_actions_adddup2, (posix_spawn_file_actions_t * a, int fd, int to), (a, fd, to))
SPAWN_FAILING(posix_spawn_file_actions_addclosefrom_np, (posix_spawn_file_actions_t * a, int from), (a, from))
SPAWN_FAILING(posix_spawnattr_init, (posix_spawnattr_t * a), (a))
SPAWN_FAILING(posix_spawnattr_setsigmask, (posix_spawnattr_t * a, const sigset_t *mask), (a, mask))
SPAWN_FAILING(posix_spawnattr_setsigdefault, (posix_spawnattr_t * a, const sigset_t *set), (a, set))
SPAWN_FAILING(posix_spawnattr_setflags, (posix_spawnattr_t * a, short flags), (a, flags))

/* The destroy functions really destroy; the error number comes after. */
#define DESTROYING(fn, type)                                 \
	EXPORT int fn(type *a)                               \
	{                                                    \
		int saved = errno, err = 0;                  \
		if (should_fail(FN_##fn))                    \
			err = errno;                         \
		errno = saved;                               \
		int r = LMFS_NEXT(fn)(a);                    \
		return err != 0 ? err : r;                   \
	}

DESTROYING(posix_spawn_file_actions_destroy, posix_spawn_file_actions_t)
DESTROYING(posix_spawnattr_destroy, posix_spawnattr_t)

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

/* ---- memory -------------------------------------------------------------- */

#ifdef LMFS_FI_MALLOC
/* The C library's own allocator, taken directly: looking it up would allocate. */
extern void *__libc_malloc(size_t n);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t n);

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
#endif
