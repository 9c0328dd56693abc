/*
 * requests.c - the control requests: ioctl requests on the mount directory
 * (loomfs_sync, loomfs_get_status, loomfs_change_mode).  The kernel's
 * refusal is passed on unchanged; an interrupted request is sent again.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_private.h"

#include <errno.h>
#include <stdint.h>

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
	return loomfs_ioctl_again(fd, LOOMFS_IOC_SYNC, cno);
}

int loomfs_get_status(struct loomfs *fs, struct loomfs_status *status)
{
	int fd = request_fd(fs);

	if (fd < 0)
		return -1;
	return loomfs_ioctl_again(fd, LOOMFS_IOC_GET_STATUS, status);
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
	return loomfs_ioctl_again(fd, LOOMFS_IOC_CHANGE_MODE, &mc);
}
