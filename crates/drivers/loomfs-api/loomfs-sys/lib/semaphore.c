/*
 * semaphore.c - the cleaner semaphore: one named semaphore per file system,
 * derived from the device, that every snapshot waits for around its mode
 * change.  Created free where absent; the name outlives every handle.  Here:
 * its name, the rules that decide whether its file and folder may be
 * trusted, its creation, and loomfs_sem_examine.
 *
 * Any local user can create files in the semaphores' folder, so the library
 * does not open them through sem_open(3), which follows no link but blocks on
 * a FIFO, trusts whoever made the file and dies of SIGBUS on a short one.  It
 * opens the file itself, never following a link or blocking, judges the open
 * descriptor and maps exactly that file.  The file is laid out as the C
 * library's own named semaphores are, so that processes using sem_open on
 * the same name meet the same semaphore.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_private.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

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
	return keep_trusted(loomfs_open_again(LOOMFS_SEM_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC), true);
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

	fd = loomfs_openat_again(dir, file, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
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

	fd = loomfs_openat_again(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, SEM_MODE);
	if (fd < 0)
		return -1;
	memset(&initial, 0, sizeof initial);
	if (sem_init(&initial, 1, SEM_FREE) < 0 || loomfs_write_all(fd, &initial, sizeof initial) < 0) {
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
	dir = loomfs_open_again(LOOMFS_SEM_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
