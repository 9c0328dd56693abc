/*
 * Preloaded into lmfs-host by the cleaner-lock tests: the process kills
 * itself with SIGKILL at the moment it would send a change-mode request, that
 * is while it holds the cleaner lock. Nothing of it runs afterwards, just as
 * when an operator or the OOM killer ends a host in the middle of a snapshot.
 * Every other request goes to the real ioctl.
 */
#define _GNU_SOURCE
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "lmfs_testing/preload_shim.h"
#include "loomfs.h"

static int dying_ioctl(int fd, unsigned long request, void *arg)
{
	if (request == LOOMFS_IOC_CHANGE_MODE)
		kill(getpid(), SIGKILL);
	return LMFS_NEXT(ioctl)(fd, request, arg);
}
LMFS_DEFINE_IOCTL(dying_ioctl)
