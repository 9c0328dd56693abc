/*
 * For test libraries that stand in for C library functions, preloaded into a
 * program or linked before the C library: the definition that comes next
 * (the C library's, in the end) and a one-argument ioctl() to build on.
 *
 *   static int fake_ioctl(int fd, unsigned long request, void *arg)
 *   {
 *   	if (request == ...)
 *   		return -1;
 *   	return LMFS_NEXT(ioctl)(fd, request, arg);
 *   }
 *   LMFS_DEFINE_IOCTL(fake_ioctl)
 *
 * Define _GNU_SOURCE before the first include (RTLD_NEXT needs it).
 */
#ifndef LMFS_TESTING_PRELOAD_SHIM_H
#define LMFS_TESTING_PRELOAD_SHIM_H

#include <dlfcn.h>
#include <stdarg.h>
#include <stddef.h>

/* The next definition of function `fn` after the caller's own, looked up once
 * per place of use. */
#define LMFS_NEXT(fn)                                                  \
	(__extension__({                                               \
		static __typeof__(&fn) lmfs_next_;                     \
		if (lmfs_next_ == NULL)                                \
			lmfs_next_ = (__typeof__(&fn))dlsym(RTLD_NEXT, #fn); \
		lmfs_next_;                                            \
	}))

/* Defines ioctl() (exported, as the C library's is) to call
 * handler(fd, request, arg), the one argument every request of the file
 * system takes. */
#define LMFS_DEFINE_IOCTL(handler)                                          \
	__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) \
	{                                                                   \
		va_list ap;                                                 \
		void *arg;                                                  \
		va_start(ap, request);                                      \
		arg = va_arg(ap, void *);                                   \
		va_end(ap);                                                 \
		return handler(fd, request, arg);                           \
	}

#endif
