/*
 * loomfs.c - control library for a mounted loomfs file system.
 *
 * One file in six sections, each with its own constants and static helpers:
 * canonicalisation of path names, the mount lookup in /proc/mounts, the
 * superblock, the handle, the cleaner semaphore and the control requests.
 * Failures are -1 or NULL with errno; each function releases what it
 * acquired on its one way out.
 *
 * Several places reproduce the behaviour of the file system's own tools on
 * purpose, odd as it may look; they say so where they are.  Keep them.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h> /* BLKGETSIZE64 */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

/*
 * open and ioctl, taken up again when a signal interrupts them: the mount
 * directory is on a file system whose calls may wait, and a host may catch
 * signals without SA_RESTART.  Each request the library sends may be sent
 * twice (a sync that was interrupted writes its checkpoint at most once more).
 */
static int openat_again(int dir, const char *path, int flags, mode_t mode)
{
	int fd;

	do
		fd = openat(dir, path, flags, mode);
	while (fd < 0 && errno == EINTR);
	return fd;
}

static int open_again(const char *path, int flags)
{
	int fd;

	do
		fd = open(path, flags);
	while (fd < 0 && errno == EINTR);
	return fd;
}

static int ioctl_again(int fd, unsigned long request, void *arg)
{
	int r;

	do
		r = ioctl(fd, request, arg);
	while (r < 0 && errno == EINTR);
	return r;
}

/* ---- canonicalisation --------------------------------------------------
 *
 * Absolute names without ".", ".." or repeated slashes, links followed, built
 * component by component in the caller's buffer.
 */

enum {
	LINK_SIZE = 4096,    /* target of one symbolic link */
	MAX_COMPONENTS = 33, /* components one canonicalisation may examine */
};

static bool ends_component(char c)
{
	return c == '/' || c == '\0';
}

const char *loomfs_canon_path(const char *path, char *out, int size)
{
	char target[LINK_SIZE];
	char *joined = NULL; /* remaining text after a followed link */
	const char *rest;
	size_t len, last, name, restlen;
	unsigned examined = 0;
	ssize_t n;
	int err;

	if (path == NULL || out == NULL) {
		errno = EINVAL;
		return NULL;
	}
	if (size < 2) { /* not even room for "/" */
		errno = ENAMETOOLONG;
		return NULL;
	}
	last = (size_t)size - 2; /* highest index a name character may take */

	/*
	 * On purpose, every component examined counts towards MAX_COMPONENTS,
	 * link or not: a name of many components fails with ELOOP without any
	 * link in it, as loomfs.h promises.
	 */
	if (path[0] == '/') {
		out[0] = '/';
		len = 1;
		rest = path + 1;
	} else {
		if (getcwd(out, (size_t)size - 2) == NULL)
			return NULL;
		len = strlen(out);
		if (len == 0 || out[len - 1] != '/')
			out[len++] = '/';
		rest = path;
	}

	/*
	 * out always ends in "/" here.  Only after a name that reaches index
	 * last can that "/" sit at index size - 1; any further character then
	 * fails, and the finish drops the "/" again.
	 */
	for (;;) {
		while (*rest == '/')
			rest++;
		if (rest[0] == '.' && ends_component(rest[1])) {
			rest += 1;
			continue;
		}
		if (rest[0] == '.' && rest[1] == '.' && ends_component(rest[2])) {
			rest += 2;
			if (len > 1) {
				len--; /* the trailing "/" */
				while (out[len - 1] != '/')
					len--;
			}
			continue;
		}
		if (*rest == '\0')
			break;

		name = len;
		while (!ends_component(*rest)) {
			if (len > last) {
				err = ENAMETOOLONG;
				goto fail;
			}
			out[len++] = *rest++;
		}
		if (examined == MAX_COMPONENTS) {
			err = ELOOP;
			goto fail;
		}
		examined++;
		out[len] = '\0';

		n = readlink(out, target, sizeof target);
		if (n < 0) {
			if (errno != EINVAL) {
				err = errno;
				goto fail;
			}
			out[len++] = '/'; /* a plain component */
			continue;
		}

		/* A link: its target, then what is left of the old text. */
		restlen = strlen(rest);
		char *next = malloc((size_t)n + restlen + 1);
		if (next == NULL) {
			err = ENOMEM;
			goto fail;
		}
		memcpy(next, target, (size_t)n);
		memcpy(next + n, rest, restlen + 1);
		free(joined);
		joined = next;
		rest = joined;
		len = (n > 0 && target[0] == '/') ? 1 : name;
	}

	if (len > 1)
		len--; /* the trailing "/" */
	out[len] = '\0';
	free(joined);
	return out;

fail:
	free(joined);
	errno = err;
	return NULL;
}

/* ---- mount lookup -------------------------------------------------------
 *
 * The first loomfs line of the mount table that matches the caller's device,
 * directory and option.  Fields are split on the C locale's white space and
 * used as the table writes them: on purpose, octal escapes such as "\040"
 * are not decoded, so a name with a blank matches only in its escaped form.
 */

enum {
	MNT_LINE_SIZE = 2048, /* a table line of at most 2047 characters */
	CANON_SIZE = 4098,    /* canonical names compared by the lookup */
	NMNTFLDS = 6,         /* fields of a mount-table line */
};

#define MOUNTS_PATH "/proc/mounts"
#define LOOMFS_TYPE "loomfs"

/* The white-space class of the C locale, independent of the process locale. */
static bool is_white(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum line_kind { LINE_END = -1, LINE_TOO_LONG = 0, LINE_OK = 1 };

/*
 * Reads the next table line into buf without its newline.  A line that does
 * not fit (more than size - 1 characters) is consumed whole and reported as
 * LINE_TOO_LONG, so none of its pieces is ever taken for a line of its own.
 * A line cut short by a read error is dropped.
 */
static enum line_kind read_line(FILE *table, char *buf, size_t size)
{
	size_t n = 0;
	bool too_long = false;
	int c;

	while ((c = getc_unlocked(table)) != EOF && c != '\n') {
		if (n < size - 1)
			buf[n++] = (char)c;
		else
			too_long = true;
	}
	if (c == EOF && (ferror(table) || (n == 0 && !too_long)))
		return LINE_END;
	buf[n] = '\0';
	return too_long ? LINE_TOO_LONG : LINE_OK;
}

/*
 * Splits line into its NMNTFLDS fields in place.  False when it has fewer or
 * more: the kernel writes exactly six, escaping the blanks, tabs and newlines
 * of names, but not every white-space character, so a longer line is a name
 * that someone chose to look like several fields.  A field never extends
 * past the line's terminating NUL.
 */
static bool split_fields(char *p, char *fld[NMNTFLDS])
{
	for (int i = 0; i < NMNTFLDS; i++) {
		while (is_white(*p))
			p++;
		if (*p == '\0')
			return false;
		fld[i] = p;
		while (*p != '\0' && !is_white(*p))
			p++;
		if (*p != '\0')
			*p++ = '\0';
	}
	while (is_white(*p))
		p++;
	return *p == '\0';
}

/* True when the comma-separated list has a token equal to tok. */
static bool has_token(const char *list, const char *tok)
{
	size_t toklen = strlen(tok);

	for (const char *p = list;;) {
		const char *comma = strchr(p, ',');
		size_t len = comma != NULL ? (size_t)(comma - p) : strlen(p);

		if (len == toklen && memcmp(p, tok, len) == 0)
			return true;
		if (comma == NULL)
			return false;
		p = comma + 1;
	}
}

/*
 * Compares a table field with a filter: the field's canonical form, or the
 * field as written where it cannot be canonicalised.
 */
static bool field_matches(const char *field, const char *filter, char *canon)
{
	const char *name = loomfs_canon_path(field, canon, CANON_SIZE);

	return strcmp(name != NULL ? name : field, filter) == 0;
}

/*
 * Sets *filter for a caller's name: a copy of its canonical form (stored in
 * *copy for release), or the name itself where it cannot be canonicalised.
 */
static int make_filter(const char *name, char *canon, const char **filter, char **copy)
{
	*filter = name;
	*copy = NULL;
	if (name == NULL || loomfs_canon_path(name, canon, CANON_SIZE) == NULL)
		return 0;
	*copy = strdup(canon);
	if (*copy == NULL)
		return -1;
	*filter = *copy;
	return 0;
}

/* The lookup; reads table, or /proc/mounts when table is NULL. */
static int find_fs(struct loomfs *fs, FILE *table, const char *dev, const char *dir, const char *opt)
{
	char line[MNT_LINE_SIZE];
	char canon[CANON_SIZE];
	char *fld[NMNTFLDS];
	const char *dev_filter, *dir_filter;
	char *dev_copy = NULL, *dir_copy = NULL;
	char *devpath = NULL, *mntdir = NULL;
	FILE *own = NULL;
	enum line_kind kind;
	int err;

	if (fs == NULL || opt == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (make_filter(dev, canon, &dev_filter, &dev_copy) < 0 ||
	    make_filter(dir, canon, &dir_filter, &dir_copy) < 0) {
		err = ENOMEM;
		goto out;
	}
	if (table == NULL) {
		own = fopen(MOUNTS_PATH, "re");
		if (own == NULL) {
			err = errno;
			goto out;
		}
		table = own;
	}

	err = ENOENT;
	while ((kind = read_line(table, line, sizeof line)) != LINE_END) {
		if (kind == LINE_TOO_LONG || !split_fields(line, fld))
			continue;
		if (strcmp(fld[2], LOOMFS_TYPE) != 0)
			continue;
		if (dir_filter != NULL && !field_matches(fld[1], dir_filter, canon))
			continue;
		if (dev_filter != NULL && !field_matches(fld[0], dev_filter, canon))
			continue;
		if (!has_token(fld[3], opt))
			continue;

		devpath = strdup(fld[0]);
		mntdir = strdup(fld[1]);
		if (devpath == NULL || mntdir == NULL) {
			err = ENOMEM;
			break;
		}
		free(fs->n_devpath);
		free(fs->n_mntdir);
		fs->n_devpath = devpath;
		fs->n_mntdir = mntdir;
		devpath = mntdir = NULL;
		err = 0;
		break;
	}

out:
	if (own != NULL)
		fclose(own);
	free(devpath);
	free(mntdir);
	free(dev_copy);
	free(dir_copy);
	if (err != 0) {
		errno = err;
		return -1;
	}
	return 0;
}

int loomfs_find_fs(struct loomfs *fs, const char *dev, const char *dir, const char *opt)
{
	return find_fs(fs, NULL, dev, dir, opt);
}

int loomfs_find_fs_in(struct loomfs *fs, FILE *table, const char *dev, const char *dir, const char *opt)
{
	if (table == NULL) {
		errno = EINVAL;
		return -1;
	}
	return find_fs(fs, table, dev, dir, opt);
}

/* ---- superblock ---------------------------------------------------------
 *
 * Two copies: the primary at 1024 and the secondary in the last whole 4096
 * bytes of the device.  The primary wins when both are usable.
 */

/* Fields the library reads (byte offsets, little-endian). */
enum {
	SB_PRIMARY_OFFSET = 1024,
	SB_OFF_MAGIC = 6,      /* 16 bits */
	SB_OFF_LIMITED = 8,    /* 16 bits, at most 1024 */
	SB_OFF_SHIFT = 20,     /* low 8 bits: unit is 1024 << e */
	SB_OFF_COUNT_A = 24,   /* 64 bits */
	SB_OFF_COUNT_B = 48,   /* 32 bits */
	SB_OFF_FEATURES = 272, /* 64 bits, must be 0 */
	SB_LIMITED_MAX = 1024,
	SB_SECONDARY_ALIGN = 4096,
};

static uint16_t get_le16(const unsigned char *p)
{
	return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t get_le32(const unsigned char *p)
{
	return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t get_le64(const unsigned char *p)
{
	return (uint64_t)get_le32(p) | (uint64_t)get_le32(p + 4) << 32;
}

enum copy_state { COPY_UNREAD, COPY_INVALID, COPY_READ, COPY_VALID };

/*
 * Reads the copy at offset into buf.  COPY_UNREAD with *err set when the seek
 * or a read fails; COPY_INVALID when the device ends before the copy does, so
 * that no check ever looks at bytes the read did not fill.
 */
static enum copy_state read_copy(int fd, uint64_t offset, unsigned char *buf, int *err)
{
	size_t got = 0;
	ssize_t n;

	if (offset > (uint64_t)INT64_MAX) { /* not an offset: refused like lseek does */
		*err = EINVAL;
		return COPY_UNREAD;
	}
	if (lseek(fd, (off_t)offset, SEEK_SET) < 0) {
		*err = errno;
		return COPY_UNREAD;
	}
	while (got < LOOMFS_SB_SIZE) {
		n = read(fd, buf + got, LOOMFS_SB_SIZE - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			*err = errno;
			return COPY_UNREAD;
		}
		if (n == 0)
			return COPY_INVALID;
		got += (size_t)n;
	}
	return COPY_READ;
}

static bool sb_header_ok(const unsigned char *sb)
{
	return get_le16(sb + SB_OFF_MAGIC) == LOOMFS_SB_MAGIC &&
	       get_le16(sb + SB_OFF_LIMITED) <= SB_LIMITED_MAX;
}

/*
 * The described area, A x B units of 1024 << e bytes, ends at or before the
 * secondary copy.
 *
 * On purpose this is 64-bit arithmetic that wraps: the product and the shift
 * are taken modulo 2^64 and the shift count modulo 64, exactly as the file
 * system's own tools compute it, so that a copy they accept is accepted here
 * and one they refuse is refused.  A count large enough to wrap may pass.  Do
 * not widen or saturate it.
 */
static bool sb_extent_ok(const unsigned char *sb, uint64_t secondary)
{
	unsigned shift = ((unsigned)sb[SB_OFF_SHIFT] + 10) & 63;
	uint64_t a = get_le64(sb + SB_OFF_COUNT_A);
	uint64_t b = get_le32(sb + SB_OFF_COUNT_B);

	return ((b * a) << shift) <= secondary;
}

/*
 * Where the secondary copy of a device of size bytes starts.  For a device
 * under 4096 bytes the subtraction wraps on purpose, as in the file system's
 * tools: the offset lands above INT64_MAX, read_copy refuses it with EINVAL
 * as lseek would, and only the primary copy can be used.
 */
static uint64_t secondary_offset(uint64_t size)
{
	return (size - SB_SECONDARY_ALIGN) & ~(uint64_t)(SB_SECONDARY_ALIGN - 1);
}

/* Features the library knows: none, so any bit set refuses the handle. */
static bool sb_features_known(const unsigned char *sb)
{
	return get_le64(sb + SB_OFF_FEATURES) == 0;
}

unsigned char *loomfs_sb_read(int devfd)
{
	unsigned char *primary = malloc(LOOMFS_SB_SIZE);
	unsigned char *secondary = malloc(LOOMFS_SB_SIZE);
	enum copy_state pstate, sstate;
	struct stat st;
	uint64_t size, offset;
	int err = 0, perr = 0, serr = 0;

	if (primary == NULL || secondary == NULL) {
		err = ENOMEM;
		goto fail;
	}
	if (fstat(devfd, &st) < 0) {
		err = errno;
		goto fail;
	}
	if (S_ISREG(st.st_mode)) {
		size = (uint64_t)st.st_size;
	} else if (S_ISBLK(st.st_mode)) {
		if (ioctl_again(devfd, BLKGETSIZE64, &size) < 0) {
			err = errno;
			goto fail;
		}
	} else {
		err = EINVAL;
		goto fail;
	}
	offset = secondary_offset(size);

	pstate = read_copy(devfd, SB_PRIMARY_OFFSET, primary, &perr);
	if (pstate == COPY_READ)
		pstate = sb_header_ok(primary) ? COPY_VALID : COPY_INVALID;
	sstate = read_copy(devfd, offset, secondary, &serr);
	if (sstate == COPY_READ)
		sstate = sb_header_ok(secondary) && sb_extent_ok(secondary, offset) ? COPY_VALID
		                                                                    : COPY_INVALID;

	if (pstate == COPY_VALID) {
		free(secondary);
		return primary;
	}
	if (sstate == COPY_VALID) {
		free(primary);
		return secondary;
	}
	if (sstate == COPY_INVALID || pstate == COPY_INVALID)
		err = EINVAL;
	else
		err = serr; /* both unread: the last failure */

fail:
	free(primary);
	free(secondary);
	errno = err;
	return NULL;
}

int loomfs_read_sb(struct loomfs *fs)
{
	if (fs == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (fs->n_sb != NULL) {
		errno = EBUSY;
		return -1;
	}
	fs->n_sb = loomfs_sb_read(fs->n_dev_fd);
	return fs->n_sb != NULL ? 0 : -1;
}

/* ---- handle -------------------------------------------------------------
 *
 * Device and superblock, mount directory and cleaner semaphore, each opened
 * only where the flags ask for it.
 */

#define OPEN_MOUNT_BITS (LOOMFS_OPEN_MOUNT_RO | LOOMFS_OPEN_MOUNT_W | LOOMFS_OPEN_MOUNT_RW)

struct loomfs *loomfs_open(const char *dev, const char *dir, int flags)
{
	struct loomfs *fs;
	int err;

	if ((flags & (LOOMFS_OPEN_DEVICE | OPEN_MOUNT_BITS)) == 0) {
		errno = EINVAL;
		return NULL;
	}
	fs = malloc(sizeof *fs);
	if (fs == NULL) {
		errno = ENOMEM;
		return NULL;
	}
	*fs = (struct loomfs){.n_dev_fd = -1, .n_dir_fd = -1};

	if (flags & LOOMFS_OPEN_DEVICE) {
		if (dev != NULL) {
			fs->n_devpath = strdup(dev);
			if (fs->n_devpath == NULL) {
				errno = ENOMEM;
				goto fail;
			}
		} else if (loomfs_find_fs(fs, NULL, dir, "rw") < 0) {
			/* On purpose only a read-write mount names the device,
			 * even where LOOMFS_OPEN_MOUNT_RO accepts a read-only
			 * mount below. */
			goto fail;
		}
		/* Non-blocking so that a FIFO named as the device cannot hang the open. */
		fs->n_dev_fd = open_again(fs->n_devpath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fs->n_dev_fd < 0)
			goto fail;
		if (loomfs_read_sb(fs) < 0)
			goto fail;
		if (!sb_features_known(fs->n_sb)) {
			errno = EOPNOTSUPP;
			goto fail;
		}
	}

	if (flags & OPEN_MOUNT_BITS) {
		if (loomfs_find_fs(fs, dev, dir, "rw") < 0 &&
		    (!(flags & LOOMFS_OPEN_MOUNT_RO) || loomfs_find_fs(fs, dev, dir, "ro") < 0))
			goto fail;
		/* The table may name a FIFO or a link someone put there. */
		fs->n_dir_fd = open_again(fs->n_mntdir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
		if (fs->n_dir_fd < 0)
			goto fail;
	}

	if ((flags & LOOMFS_OPEN_CLEANER) && loomfs_open_sem(fs) < 0)
		goto fail;
	return fs;

fail:
	err = errno;
	loomfs_close(fs);
	errno = err;
	return NULL;
}

void loomfs_close(struct loomfs *fs)
{
	if (fs == NULL)
		return;
	loomfs_close_sem(fs->n_cleaner);
	if (fs->n_dev_fd >= 0)
		close(fs->n_dev_fd);
	if (fs->n_dir_fd >= 0)
		close(fs->n_dir_fd);
	free(fs->n_devpath);
	free(fs->n_mntdir);
	free(fs->n_sb);
	free(fs);
}

/* ---- cleaner semaphore --------------------------------------------------
 *
 * One named semaphore per file system, derived from the device, that every
 * snapshot waits for around its mode change.  Created free where absent; the
 * name outlives every handle.
 *
 * Any local user can create files in the semaphores' folder, so the library
 * does not open them through sem_open(3), which follows no link but blocks on
 * a FIFO, trusts whoever made the file and dies of SIGBUS on a short one.  It
 * opens the file itself, never following a link or blocking, judges the open
 * descriptor and maps exactly that file.  The file is laid out as the C
 * library's own named semaphores are, so that processes using sem_open on
 * the same name meet the same semaphore.
 */

#define SEM_NAME_PREFIX "/loomfs-cleaner-"

enum {
	SEM_MODE = 0700,       /* owner only */
	SEM_FREE = 1,          /* value of a new semaphore */
	SEM_OPEN_TRIES = 8,    /* creations lost to another process, at most */
	SEM_NAMING_WAITS = 20, /* milliseconds a second name may take to go */
};

/* What snprintf answered (n) for a buffer of size bytes: 0 when it fit. */
static int fitted(int n, size_t size)
{
	if (n < 0)
		return -1;
	if ((size_t)n >= size) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

int loomfs_sem_name(const char *dev, char *name, size_t size)
{
	struct stat st;
	int n;

	if (dev == NULL || name == NULL) {
		errno = EINVAL;
		return -1;
	}
	/* stat, not lstat: a link names the semaphore of its target. */
	if (stat(dev, &st) < 0)
		return -1;
	if (S_ISBLK(st.st_mode)) {
		n = snprintf(name, size, SEM_NAME_PREFIX "%llu", (unsigned long long)st.st_rdev);
	} else if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
		n = snprintf(name, size, SEM_NAME_PREFIX "%llu-%llu", (unsigned long long)st.st_dev,
		             (unsigned long long)st.st_ino);
	} else {
		errno = EINVAL;
		return -1;
	}
	return fitted(n, size);
}

static bool trusted_owner(uid_t uid)
{
	return uid == 0 || uid == geteuid();
}

/* What a semaphore's file must be: see loomfs_sem_examine(). */
static int judge_sem_file(const struct stat *st)
{
	if (!S_ISREG(st->st_mode))
		return LOOMFS_SEM_NOT_REGULAR;
	if (st->st_size != (off_t)sizeof(sem_t))
		return LOOMFS_SEM_WRONG_SIZE;
	if (st->st_nlink != 1)
		return LOOMFS_SEM_LINKED;
	if (!trusted_owner(st->st_uid))
		return LOOMFS_SEM_FOREIGN;
	if (st->st_mode & (S_IWGRP | S_IWOTH))
		return LOOMFS_SEM_WRITABLE;
	return LOOMFS_SEM_TRUSTED;
}

/*
 * The folder may let others add names (as /dev/shm does) only when it is
 * root's and sticky: then nobody but the file's owner and root can take a
 * name away or put another file in its place.
 */
static bool trusted_sem_dir(const struct stat *st)
{
	if (!S_ISDIR(st->st_mode) || !trusted_owner(st->st_uid))
		return false;
	return !(st->st_mode & (S_IWGRP | S_IWOTH)) || ((st->st_mode & S_ISVTX) && st->st_uid == 0);
}

/*
 * The file name of semaphore name in LOOMFS_SEM_DIR, as the C library names
 * it.  EINVAL for a name that is not "/" followed by one plain file name.
 */
static int sem_file_name(const char *name, char *file, size_t size)
{
	int n;

	if (name == NULL || name[0] != '/' || name[1] == '\0' || strchr(name + 1, '/') != NULL) {
		errno = EINVAL;
		return -1;
	}
	n = snprintf(file, size, LOOMFS_SEM_FILE_PREFIX "%s", name + 1);
	return fitted(n, size);
}

/*
 * Keeps fd when what it reaches may be trusted, as the semaphores' folder or
 * as a semaphore's file; closes it otherwise: -1 with errno, EPERM when it is
 * refused.  A negative fd is passed on.
 */
static int keep_trusted(int fd, bool folder)
{
	struct stat st;
	int err = EPERM;

	if (fd < 0)
		return -1;
	if (fstat(fd, &st) < 0) {
		err = errno;
		goto fail;
	}
	if (folder) {
		if (trusted_sem_dir(&st))
			return fd;
		goto fail;
	}
	/*
	 * sem_open(3) names a semaphore it creates by giving its finished file
	 * a second name and then dropping the first: meeting it in that moment,
	 * wait for the passing name to go.
	 */
	for (int waited = 0; judge_sem_file(&st) == LOOMFS_SEM_LINKED && waited < SEM_NAMING_WAITS; waited++) {
		nanosleep(&(struct timespec){.tv_nsec = 1000000}, NULL);
		if (fstat(fd, &st) < 0) {
			err = errno;
			goto fail;
		}
	}
	if (judge_sem_file(&st) == LOOMFS_SEM_TRUSTED)
		return fd;

fail:
	close(fd);
	errno = err;
	return -1;
}

/* The semaphores' folder, judged. */
static int open_sem_dir(void)
{
	return keep_trusted(open_again(LOOMFS_SEM_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC), true);
}

/*
 * Opens the existing file without following a link or blocking, and keeps
 * the descriptor only when the file it reaches may be trusted.  -1 with
 * errno: ENOENT when there is none, EPERM when it is refused.
 */
static int open_sem_file(int dir, const char *file)
{
	struct stat st;
	int fd, err;

	fd = openat_again(dir, file, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
	if (fd < 0) {
		err = errno;
		/* A link (ELOOP), a folder (EISDIR), a socket (ENXIO): refused. */
		if (err != ENOENT && fstatat(dir, file, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    judge_sem_file(&st) != LOOMFS_SEM_TRUSTED)
			err = EPERM;
		errno = err;
		return -1;
	}
	return keep_trusted(fd, false);
}

/* Writes all of buf; -1 with errno. */
static int write_all(int fd, const void *buf, size_t len)
{
	const char *p = buf;
	ssize_t n;

	while (len > 0) {
		n = write(fd, p, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		if (n == 0) {
			errno = EIO;
			return -1;
		}
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

/*
 * Makes a free semaphore called file: written in full while it has no name,
 * then named in one step, so that nobody ever meets it half made or with a
 * second name.  Returns its descriptor, or -1 with errno: EEXIST when another
 * process made one first.
 */
static int create_sem_file(int dir, const char *file)
{
	char proc[64];
	sem_t initial;
	int fd, err;

	fd = openat_again(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, SEM_MODE);
	if (fd < 0)
		return -1;
	memset(&initial, 0, sizeof initial);
	if (sem_init(&initial, 1, SEM_FREE) < 0 || write_all(fd, &initial, sizeof initial) < 0) {
		err = errno;
		goto fail;
	}
	/* Naming a descriptor needs CAP_DAC_READ_SEARCH; /proc does not. */
	if (linkat(fd, "", dir, file, AT_EMPTY_PATH) < 0) {
		if (errno == EEXIST) {
			err = EEXIST;
			goto fail;
		}
		snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
		if (linkat(AT_FDCWD, proc, dir, file, AT_SYMLINK_FOLLOW) < 0) {
			err = errno;
			goto fail;
		}
	}
	return fd;

fail:
	close(fd);
	errno = err;
	return -1;
}

/*
 * Opens the semaphore called name, creating it free where it does not exist
 * and create is set, and maps exactly the file that was judged.
 */
static sem_t *open_sem(const char *name, bool create)
{
	char file[LOOMFS_SEM_NAME_SIZE + sizeof LOOMFS_SEM_FILE_PREFIX];
	void *sem = MAP_FAILED;
	int dir = -1, fd = -1, err;

	if (sem_file_name(name, file, sizeof file) < 0)
		return NULL;
	dir = open_sem_dir();
	if (dir < 0)
		return NULL;
	for (int made = 0;; made++) {
		fd = open_sem_file(dir, file);
		if (fd >= 0 || errno != ENOENT || !create || made == SEM_OPEN_TRIES)
			break;
		fd = create_sem_file(dir, file);
		if (fd >= 0 || errno != EEXIST)
			break;
	}
	if (fd < 0) {
		err = errno;
		goto out;
	}
	sem = mmap(NULL, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	err = sem == MAP_FAILED ? errno : 0;

out:
	if (fd >= 0)
		close(fd);
	close(dir);
	if (sem == MAP_FAILED) {
		errno = err;
		return NULL;
	}
	return sem;
}

sem_t *loomfs_open_sem_named(const char *name)
{
	return open_sem(name, true);
}

sem_t *loomfs_open_sem_existing(const char *name)
{
	return open_sem(name, false);
}

void loomfs_close_sem(sem_t *sem)
{
	if (sem != NULL)
		munmap(sem, sizeof(sem_t));
}

int loomfs_sem_examine(const char *name, struct stat *st)
{
	char file[LOOMFS_SEM_NAME_SIZE + sizeof LOOMFS_SEM_FILE_PREFIX];
	int dir, rc;

	if (st == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (sem_file_name(name, file, sizeof file) < 0)
		return -1;
	dir = open_again(LOOMFS_SEM_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return -1;
	if (fstat(dir, st) < 0)
		rc = -1;
	else if (!trusted_sem_dir(st))
		rc = LOOMFS_SEM_UNSAFE_DIR;
	else if (fstatat(dir, file, st, AT_SYMLINK_NOFOLLOW) < 0)
		rc = -1;
	else
		rc = judge_sem_file(st);
	if (rc < 0) {
		int err = errno;

		close(dir);
		errno = err;
		return -1;
	}
	close(dir);
	return rc;
}

int loomfs_open_sem(struct loomfs *fs)
{
	char name[LOOMFS_SEM_NAME_SIZE];

	if (fs == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (fs->n_cleaner != NULL) {
		errno = EBUSY;
		return -1;
	}
	if (fs->n_devpath == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (loomfs_sem_name(fs->n_devpath, name, sizeof name) < 0)
		return -1;
	fs->n_cleaner = loomfs_open_sem_named(name);
	return fs->n_cleaner != NULL ? 0 : -1;
}

/* ---- control requests ---------------------------------------------------
 *
 * ioctl requests on the mount directory; the kernel's refusal is passed on
 * unchanged, an interrupted request is sent again.
 */

/* The descriptor requests go to, or -1 with errno. */
static int request_fd(const struct loomfs *fs)
{
	if (fs == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (fs->n_dir_fd < 0) {
		errno = EBADF;
		return -1;
	}
	return fs->n_dir_fd;
}

int loomfs_sync(struct loomfs *fs, uint64_t *cno)
{
	int fd = request_fd(fs);

	if (fd < 0)
		return -1;
	return ioctl_again(fd, LOOMFS_IOC_SYNC, cno);
}

int loomfs_get_status(struct loomfs *fs, struct loomfs_status *status)
{
	int fd = request_fd(fs);

	if (fd < 0)
		return -1;
	return ioctl_again(fd, LOOMFS_IOC_GET_STATUS, status);
}

int loomfs_change_mode(struct loomfs *fs, uint64_t cno, int mode)
{
	struct loomfs_mode_change mc;
	int fd = request_fd(fs);

	if (fd < 0)
		return -1;
	if (cno == 0) {
		errno = EINVAL;
		return -1;
	}
	mc = (struct loomfs_mode_change){.mc_number = cno, .mc_mode = (uint32_t)mode, .mc_reserved = 0};
	return ioctl_again(fd, LOOMFS_IOC_CHANGE_MODE, &mc);
}
