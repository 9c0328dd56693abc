#define _GNU_SOURCE
#include "open_spy.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/types.h>

#include "lmfs_testing/preload_shim.h"

struct open_spy open_spy;

int open(const char *path, int flags, ...)
{
	mode_t mode = 0;

	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = (mode_t)va_arg(ap, int);
		va_end(ap);
	}
	if (open_spy.path != NULL && strcmp(path, open_spy.path) == 0) {
		open_spy.calls++;
		if (open_spy.interruptions > 0) {
			open_spy.interruptions--;
			errno = EINTR;
			return -1;
		}
	}
	return LMFS_NEXT(open)(path, flags, mode);
}
