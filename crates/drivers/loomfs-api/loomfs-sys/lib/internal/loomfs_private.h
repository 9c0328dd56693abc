/*
 * loomfs_private.h - what the control library's own sources share: the
 * system calls they take up again when a signal interrupts them, and the one
 * superblock check the handle borrows.  Not for tests or other programs.
 *
 * Every source defines _GNU_SOURCE before its first include.  As everywhere
 * in the library, failures are -1 or NULL with errno, and each function
 * releases what it acquired on its one way out.
 */
#ifndef LOOMFS_PRIVATE_H
#define LOOMFS_PRIVATE_H

#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

/*
 * open and ioctl, taken up again when a signal interrupts them: the mount
 * directory is on a file system whose calls may wait, and a host may catch
 * signals without SA_RESTART.  Each request the library sends may be sent
 * twice (a sync that was interrupted writes its checkpoint at most once more).
 */
static inline int loomfs_openat_again(int dir, const char *path, int flags, mode_t mode)
{
	int fd;

	do
		fd = openat(dir, path, flags, mode);
	while (fd < 0 && errno == EINTR);
	return fd;
}

static inline int loomfs_open_again(const char *path, int flags)
{
	int fd;

	do
		fd = open(path, flags);
	while (fd < 0 && errno == EINTR);
	return fd;
}

static inline int loomfs_ioctl_again(int fd, unsigned long request, void *arg)
{
	int r;

	do
		r = ioctl(fd, request, arg);
	while (r < 0 && errno == EINTR);
	return r;
}

/* Writes all of buf, again after an interruption; -1 with errno. */
static inline int loomfs_write_all(int fd, const void *buf, size_t len)
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
 * True when the superblock copy sb (LOOMFS_SB_SIZE bytes) sets no feature
 * the library does not know (superblock.c).
 */
__attribute__((visibility("hidden"))) bool loomfs_sb_features_known(const unsigned char *sb);

#endif /* LOOMFS_PRIVATE_H */
