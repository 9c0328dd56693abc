/*
 * Preloaded into lmfs-host by the cleaner-lock tests: the process kills
 * itself with SIGKILL at the moment it would send a change-mode request, that
 * is while it holds the cleaner lock. Nothing of it runs afterwards, just as
 * when an operator or the OOM killer ends a host in the middle of a snapshot.
 * Every other request goes to the real ioctl.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <signal.h>
#include <stdarg.h>
#include <unistd.h>

#define CHANGE_MODE_REQUEST 0x40106E80UL

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
	static int (*real)(int, unsigned long, ...);
	va_list ap;
	void *arg;

	va_start(ap, request);
	arg = va_arg(ap, void *);
	va_end(ap);
	if (request == CHANGE_MODE_REQUEST)
		kill(getpid(), SIGKILL);
	if (real == NULL)
		real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
	return real(fd, request, arg);
}
