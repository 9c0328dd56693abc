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
#include <dlfcn.h>
#include <errno.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

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

int ioctl(int fd, unsigned long request, ...)
{
	static int (*real)(int, unsigned long, ...);
	va_list ap;
	void *arg;

	va_start(ap, request);
	arg = va_arg(ap, void *);
	va_end(ap);
	if (real == NULL)
		real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");

	if (request == 0x80086E8AUL && has_fault("sync")) {
		errno = EIO;
		return -1;
	}
	if (request == 0x80086E8AUL && has_fault("sync0")) {
		*(uint64_t *)arg = 0;
		return 0;
	}
	if (request == 0x40106E80UL && has_fault("change")) {
		errno = EINVAL;
		return -1;
	}
	if (request == 0x80186E83UL && has_fault("status")) {
		errno = EIO;
		return -1;
	}
	return real(fd, request, arg);
}

int sem_wait(sem_t *sem)
{
	static int (*real)(sem_t *);
	static int interrupted;
	if (real == NULL)
		real = (int (*)(sem_t *))dlsym(RTLD_NEXT, "sem_wait");
	if (has_fault("wait")) {
		errno = EINVAL;
		return -1;
	}
	if (has_fault("eintr") && interrupted < 2) {
		interrupted++;
		errno = EINTR;
		return -1;
	}
	return real(sem);
}

int sem_post(sem_t *sem)
{
	static int (*real)(sem_t *);
	if (real == NULL)
		real = (int (*)(sem_t *))dlsym(RTLD_NEXT, "sem_post");
	if (has_fault("post")) {
		/* The lock is really given back, so other tests are not blocked. */
		real(sem);
		errno = EOVERFLOW;
		return -1;
	}
	return real(sem);
}
