/*
 * canon_path.c - canonicalisation of path names: absolute names without ".",
 * ".." or repeated slashes, links followed, built component by component in
 * the caller's buffer.
 *
 * One limit below is odd on purpose and says so where it is; keep it.
 */
#define _GNU_SOURCE

#include "loomfs.h"

#include <errno.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum {
	LINK_SIZE = 4096,    /* target of one symbolic link */
	MAX_COMPONENTS = 33, /* components one canonicalisation may examine */
};

static bool ends_component(char c)
{
	return c == '/' || c == '\0';
}

const char *loomfs_canon_path(const char *path, char *out, int size)
{
	char target[LINK_SIZE];
	char *joined = NULL; /* remaining text after a followed link */
	const char *rest;
	size_t len, last, name, restlen;
	unsigned examined = 0;
	ssize_t n;
	int err;

	if (path == NULL || out == NULL) {
		errno = EINVAL;
		return NULL;
	}
	if (size < 2) { /* not even room for "/" */
		errno = ENAMETOOLONG;
		return NULL;
	}
	last = (size_t)size - 2; /* highest index a name character may take */

	/*
	 * On purpose, every component examined counts towards MAX_COMPONENTS,
	 * link or not: a name of many components fails with ELOOP without any
	 * link in it, as loomfs.h promises.
	 */
	if (path[0] == '/') {
		out[0] = '/';
		len = 1;
		rest = path + 1;
	} else {
		if (getcwd(out, (size_t)size - 2) == NULL)
			return NULL;
		len = strlen(out);
		if (len == 0 || out[len - 1] != '/')
			out[len++] = '/';
		rest = path;
	}

	/*
	 * out always ends in "/" here.  Only after a name that reaches index
	 * last can that "/" sit at index size - 1; any further character then
	 * fails, and the finish drops the "/" again.
	 */
	for (;;) {
		while (*rest == '/')
			rest++;
		if (rest[0] == '.' && ends_component(rest[1])) {
			rest += 1;
			continue;
		}
		if (rest[0] == '.' && rest[1] == '.' && ends_component(rest[2])) {
			rest += 2;
			if (len > 1) {
				len--; /* the trailing "/" */
				while (out[len - 1] != '/')
					len--;
			}
			continue;
		}
		if (*rest == '\0')
			break;

		name = len;
		while (!ends_component(*rest)) {
			if (len > last) {
				err = ENAMETOOLONG;
				goto fail;
			}
			out[len++] = *rest++;
		}
		if (examined == MAX_COMPONENTS) {
			err = ELOOP;
			goto fail;
		}
		examined++;
		out[len] = '\0';

		n = readlink(out, target, sizeof target);
		if (n < 0) {
			if (errno != EINVAL) {
				err = errno;
				goto fail;
			}
			out[len++] = '/'; /* a plain component */
			continue;
		}

		/* A link: its target, then what is left of the old text. */
		restlen = strlen(rest);
		char *next = malloc((size_t)n + restlen + 1);
		if (next == NULL) {
			err = ENOMEM;
			goto fail;
		}
		memcpy(next, target, (size_t)n);
		memcpy(next + n, rest, restlen + 1);
		free(joined);
		joined = next;
		rest = joined;
		len = (n > 0 && target[0] == '/') ? 1 : name;
	}

	if (len > 1)
		len--; /* the trailing "/" */
	out[len] = '\0';
	free(joined);
	return out;

fail:
	free(joined);
	errno = err;
	return NULL;
}
