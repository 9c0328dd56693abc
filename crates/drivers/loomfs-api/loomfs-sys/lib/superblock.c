/*
 * superblock.c - the superblock: two copies, the primary at 1024 and the
 * secondary in the last whole 4096 bytes of the device.  The primary wins
 * when both are usable.
 *
 * The checks of a copy reproduce the file system's own tools on purpose,
 * wrapping arithmetic included, odd as it may look; they say so where they
 * are.  Keep them.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_private.h"

#include <errno.h>
#include <linux/fs.h> /* BLKGETSIZE64 */
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

/* Fields the library reads (byte offsets, little-endian). */
enum {
	SB_PRIMARY_OFFSET = 1024,
	SB_OFF_MAGIC = 6,      /* 16 bits */
	SB_OFF_LIMITED = 8,    /* 16 bits, at most 1024 */
	SB_OFF_SHIFT = 20,     /* low 8 bits: unit is 1024 << e */
	SB_OFF_COUNT_A = 24,   /* 64 bits */
	SB_OFF_COUNT_B = 48,   /* 32 bits */
	SB_OFF_FEATURES = 272, /* 64 bits, must be 0 */
	SB_LIMITED_MAX = 1024,
	SB_SECONDARY_ALIGN = 4096,
};

static uint16_t get_le16(const unsigned char *p)
{
	return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t get_le32(const unsigned char *p)
{
	return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t get_le64(const unsigned char *p)
{
	return (uint64_t)get_le32(p) | (uint64_t)get_le32(p + 4) << 32;
}

enum copy_state { COPY_UNREAD, COPY_INVALID, COPY_READ, COPY_VALID };

/*
 * Reads the copy at offset into buf.  COPY_UNREAD with *err set when the seek
 * or a read fails; COPY_INVALID when the device ends before the copy does, so
 * that no check ever looks at bytes the read did not fill.
 */
static enum copy_state read_copy(int fd, uint64_t offset, unsigned char *buf, int *err)
{
	size_t got = 0;
	ssize_t n;

	if (offset > (uint64_t)INT64_MAX) { /* not an offset: refused like lseek does */
		*err = EINVAL;
		return COPY_UNREAD;
	}
	if (lseek(fd, (off_t)offset, SEEK_SET) < 0) {
		*err = errno;
		return COPY_UNREAD;
	}
	while (got < LOOMFS_SB_SIZE) {
		n = read(fd, buf + got, LOOMFS_SB_SIZE - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			*err = errno;
			return COPY_UNREAD;
		}
		if (n == 0)
			return COPY_INVALID;
		got += (size_t)n;
	}
	return COPY_READ;
}

static bool sb_header_ok(const unsigned char *sb)
{
	return get_le16(sb + SB_OFF_MAGIC) == LOOMFS_SB_MAGIC &&
	       get_le16(sb + SB_OFF_LIMITED) <= SB_LIMITED_MAX;
}

/*
 * The described area, A x B units of 1024 << e bytes, ends at or before the
 * secondary copy.
 *
 * On purpose this is 64-bit arithmetic that wraps: the product and the shift
 * are taken modulo 2^64 and the shift count modulo 64, exactly as the file
 * system's own tools compute it, so that a copy they accept is accepted here
 * and one they refuse is refused.  A count large enough to wrap may pass.  Do
 * not widen or saturate it.
 */
static bool sb_extent_ok(const unsigned char *sb, uint64_t secondary)
{
	unsigned shift = ((unsigned)sb[SB_OFF_SHIFT] + 10) & 63;
	uint64_t a = get_le64(sb + SB_OFF_COUNT_A);
	uint64_t b = get_le32(sb + SB_OFF_COUNT_B);

	return ((b * a) << shift) <= secondary;
}

/*
 * Where the secondary copy of a device of size bytes starts.  For a device
 * under 4096 bytes the subtraction wraps on purpose, as in the file system's
 * tools: the offset lands above INT64_MAX, read_copy refuses it with EINVAL
 * as lseek would, and only the primary copy can be used.
 */
static uint64_t secondary_offset(uint64_t size)
{
	return (size - SB_SECONDARY_ALIGN) & ~(uint64_t)(SB_SECONDARY_ALIGN - 1);
}

/* Features the library knows: none, so any bit set refuses the handle. */
bool loomfs_sb_features_known(const unsigned char *sb)
{
	return get_le64(sb + SB_OFF_FEATURES) == 0;
}

unsigned char *loomfs_sb_read(int devfd)
{
	unsigned char *primary = malloc(LOOMFS_SB_SIZE);
	unsigned char *secondary = malloc(LOOMFS_SB_SIZE);
	enum copy_state pstate, sstate;
	struct stat st;
	uint64_t size, offset;
	int err = 0, perr = 0, serr = 0;

	if (primary == NULL || secondary == NULL) {
		err = ENOMEM;
		goto fail;
	}
	if (fstat(devfd, &st) < 0) {
		err = errno;
		goto fail;
	}
	if (S_ISREG(st.st_mode)) {
		size = (uint64_t)st.st_size;
	} else if (S_ISBLK(st.st_mode)) {
		if (loomfs_ioctl_again(devfd, BLKGETSIZE64, &size) < 0) {
			err = errno;
			goto fail;
		}
	} else {
		err = EINVAL;
		goto fail;
	}
	offset = secondary_offset(size);

	pstate = read_copy(devfd, SB_PRIMARY_OFFSET, primary, &perr);
	if (pstate == COPY_READ)
		pstate = sb_header_ok(primary) ? COPY_VALID : COPY_INVALID;
	sstate = read_copy(devfd, offset, secondary, &serr);
	if (sstate == COPY_READ)
		sstate = sb_header_ok(secondary) && sb_extent_ok(secondary, offset) ? COPY_VALID
		                                                                    : COPY_INVALID;

	if (pstate == COPY_VALID) {
		free(secondary);
		return primary;
	}
	if (sstate == COPY_VALID) {
		free(primary);
		return secondary;
	}
	if (sstate == COPY_INVALID || pstate == COPY_INVALID)
		err = EINVAL;
	else
		err = serr; /* both unread: the last failure */

fail:
	free(primary);
	free(secondary);
	errno = err;
	return NULL;
}

int loomfs_read_sb(struct loomfs *fs)
{
	if (fs == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (fs->n_sb != NULL) {
		errno = EBUSY;
		return -1;
	}
	fs->n_sb = loomfs_sb_read(fs->n_dev_fd);
	return fs->n_sb != NULL ? 0 : -1;
}
