/*
 * A test-only library, preloaded into lmfs-host, that makes chosen system
 * calls of the snapshot path fail. LMFS_FAULT lists the faults, separated by
 * commas:
 *   sync     the sync request fails with EIO
 *   sync0    the sync request succeeds and reports checkpoint 0
 *   change   the change-mode request fails with EINVAL
 *   status   the status request fails with EIO
 *   wait     sem_wait fails with EINVAL
 *   post     sem_post fails with EOVERFLOW
 *   eintr    sem_wait is interrupted (EINTR) twice before it proceeds
 * Everything else goes to the real functions.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include "lmfs_testing/preload_shim.h"
#include "loomfs.h"

static int has_fault(const char *name)
{
	const char *list = getenv("LMFS_FAULT");
	size_t n = strlen(name);
	while (list != NULL && *list != '\0') {
		const char *end = strchr(list, ',');
		size_t len = end ? (size_t)(end - list) : strlen(list);
		if (len == n && strncmp(list, name, n) == 0)
			return 1;
		list = end ? end + 1 : NULL;
	}
	return 0;
}

static int faulty_ioctl(int fd, unsigned long request, void *arg)
{
	if (request == LOOMFS_IOC_SYNC && has_fault("sync")) {
		errno = EIO;
		return -1;
	}
	if (request == LOOMFS_IOC_SYNC && has_fault("sync0")) {
		*(uint64_t *)arg = 0;
		return 0;
	}
	if (request == LOOMFS_IOC_CHANGE_MODE && has_fault("change")) {
		errno = EINVAL;
		return -1;
	}
	if (request == LOOMFS_IOC_GET_STATUS && has_fault("status")) {
		errno = EIO;
		return -1;
	}
	return LMFS_NEXT(ioctl)(fd, request, arg);
}
LMFS_DEFINE_IOCTL(faulty_ioctl)

__attribute__((visibility("default"))) int sem_wait(sem_t *sem)
{
	static int interrupted;
	if (has_fault("wait")) {
		errno = EINVAL;
		return -1;
	}
	if (has_fault("eintr") && interrupted < 2) {
		interrupted++;
		errno = EINTR;
		return -1;
	}
	return LMFS_NEXT(sem_wait)(sem);
}

__attribute__((visibility("default"))) int sem_post(sem_t *sem)
{
	if (has_fault("post")) {
		/* The lock is really given back, so other tests are not blocked. */
		LMFS_NEXT(sem_post)(sem);
		errno = EOVERFLOW;
		return -1;
	}
	return LMFS_NEXT(sem_post)(sem);
}
