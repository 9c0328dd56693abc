/*
 * loomfs_internal.h - entry points of the control library that are not part
 * of its API.  For the library's own tests, fuzz targets and benchmarks only.
 */
#ifndef LOOMFS_INTERNAL_H
#define LOOMFS_INTERNAL_H

#include <stdio.h>

#include "loomfs.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * loomfs_find_fs() on a mount table that the caller has opened: reads table
 * from its current position to its end and leaves it open.
 */
__attribute__((visibility("hidden"))) LOOMFS_MUST_CHECK int
loomfs_find_fs_in(struct loomfs *fs, FILE *table, const char *dev, const char *dir, const char *opt);

#ifdef __cplusplus
}
#endif

#endif /* LOOMFS_INTERNAL_H */
