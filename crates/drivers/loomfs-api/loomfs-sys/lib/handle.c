/*
 * handle.c - the handle: device and superblock, mount directory and cleaner
 * semaphore, each opened only where the flags ask for it (loomfs_open), and
 * all of them released together (loomfs_close).
 *
 * Which mount names the device is chosen on purpose and says so; keep it.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_private.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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
		fs->n_dev_fd = loomfs_open_again(fs->n_devpath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fs->n_dev_fd < 0)
			goto fail;
		if (loomfs_read_sb(fs) < 0)
			goto fail;
		if (!loomfs_sb_features_known(fs->n_sb)) {
			errno = EOPNOTSUPP;
			goto fail;
		}
	}

	if (flags & OPEN_MOUNT_BITS) {
		if (loomfs_find_fs(fs, dev, dir, "rw") < 0 &&
		    (!(flags & LOOMFS_OPEN_MOUNT_RO) || loomfs_find_fs(fs, dev, dir, "ro") < 0))
			goto fail;
		/* The table may name a FIFO or a link someone put there. */
		fs->n_dir_fd = loomfs_open_again(fs->n_mntdir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
