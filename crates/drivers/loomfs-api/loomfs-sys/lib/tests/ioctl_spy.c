#define _GNU_SOURCE
#include "ioctl_spy.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "lmfs_testing/preload_shim.h"

struct ioctl_spy ioctl_spy = {.fd = -1};

static int spy_ioctl(int fd, unsigned long request, void *arg)
{
	size_t size = _IOC_SIZE(request);

	if (_IOC_TYPE(request) == 0x6E)
		ioctl_spy.calls++;
	if (ioctl_spy.interruptions > 0 && request == ioctl_spy.interrupted) {
		ioctl_spy.interruptions--;
		errno = EINTR;
		return -1;
	}
	if (fd != ioctl_spy.fd || fd < 0)
		return LMFS_NEXT(ioctl)(fd, request, arg);
	if (size > sizeof ioctl_spy.in)
		size = sizeof ioctl_spy.in;
	ioctl_spy.request = request;
	ioctl_spy.arg = arg;
	if (_IOC_DIR(request) & _IOC_WRITE)
		memcpy(ioctl_spy.in, arg, size);
	if (ioctl_spy.error != 0) {
		errno = ioctl_spy.error;
		return -1;
	}
	if (_IOC_DIR(request) & _IOC_READ)
		memcpy(arg, ioctl_spy.reply, size);
	return ioctl_spy.result;
}
LMFS_DEFINE_IOCTL(spy_ioctl)
