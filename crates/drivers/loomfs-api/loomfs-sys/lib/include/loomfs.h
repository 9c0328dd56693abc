/*
 * loomfs.h - control library for a mounted loomfs file system.
 *
 * Finds a loomfs mount in the kernel's mount table, opens a handle on it
 * (device, superblock, mount directory, cleaner semaphore) and sends the
 * file system's control requests.  Every function reports failure with -1
 * or NULL and leaves a standard errno value.
 */
#ifndef LOOMFS_H
#define LOOMFS_H

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define LOOMFS_MUST_CHECK __attribute__((warn_unused_result))
#else
#define LOOMFS_MUST_CHECK
#endif

/* Flags of loomfs_open().  At least one of the four low bits must be set. */
#define LOOMFS_OPEN_DEVICE   0x0001 /* open the device, read its superblock */
#define LOOMFS_OPEN_MOUNT_RO 0x0002 /* find the mount (rw first, ro accepted) */
#define LOOMFS_OPEN_MOUNT_W  0x0004 /* find a read-write mount */
#define LOOMFS_OPEN_MOUNT_RW 0x0008 /* same as LOOMFS_OPEN_MOUNT_W */
#define LOOMFS_OPEN_CLEANER  0x1000 /* open the cleaner semaphore */

/* Superblock: two copies on the device, little-endian fields. */
#define LOOMFS_SB_SIZE  1024
#define LOOMFS_SB_MAGIC 0x8888

/* Checkpoint mode for loomfs_change_mode(). */
#define LOOMFS_MODE_SNAPSHOT 1

/* Record of LOOMFS_IOC_CHANGE_MODE. */
struct loomfs_mode_change {
	uint64_t mc_number;   /* checkpoint number, never 0 */
	uint32_t mc_mode;     /* new mode */
	uint32_t mc_reserved; /* always 0 */
};

/* Record of LOOMFS_IOC_GET_STATUS. */
struct loomfs_status {
	uint64_t ls_number; /* a checkpoint number */
	uint64_t ls_word1;  /* filled by the file system, not interpreted */
	uint64_t ls_word2;  /* filled by the file system, not interpreted */
};

/* Control requests, sent on the mount directory. */
#define LOOMFS_IOCTL_TYPE 0x6E /* 'n' */
#define LOOMFS_IOC_CHANGE_MODE _IOW(LOOMFS_IOCTL_TYPE, 0x80, struct loomfs_mode_change)
#define LOOMFS_IOC_GET_STATUS  _IOR(LOOMFS_IOCTL_TYPE, 0x83, struct loomfs_status)
#define LOOMFS_IOC_SYNC        _IOR(LOOMFS_IOCTL_TYPE, 0x8A, uint64_t)

/*
 * A handle on one loomfs file system.  Every pointer is owned by the handle;
 * empty fields are NULL or -1.
 */
struct loomfs {
	unsigned char *n_sb; /* LOOMFS_SB_SIZE-byte superblock copy in use */
	char *n_devpath;     /* device name */
	char *n_mntdir;      /* mount directory as the mount table writes it */
	int n_dev_fd;        /* the device, read-only */
	int n_dir_fd;        /* the mount directory; target of every request */
	sem_t *n_cleaner;    /* the cleaner lock; wait/post it directly */
};

#ifdef __cplusplus
#define LOOMFS_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define LOOMFS_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif
LOOMFS_STATIC_ASSERT(sizeof(struct loomfs_mode_change) == 16, "mode-change record is 16 bytes");
LOOMFS_STATIC_ASSERT(offsetof(struct loomfs_mode_change, mc_mode) == 8, "mc_mode at offset 8");
LOOMFS_STATIC_ASSERT(offsetof(struct loomfs_mode_change, mc_reserved) == 12, "mc_reserved at offset 12");
LOOMFS_STATIC_ASSERT(sizeof(struct loomfs_status) == 24, "status record is 24 bytes");
LOOMFS_STATIC_ASSERT(LOOMFS_IOC_CHANGE_MODE == 0x40106E80u, "change-mode request number");
LOOMFS_STATIC_ASSERT(LOOMFS_IOC_GET_STATUS == 0x80186E83u, "status request number");
LOOMFS_STATIC_ASSERT(LOOMFS_IOC_SYNC == 0x80086E8Au, "sync request number");
#undef LOOMFS_STATIC_ASSERT

/*
 * Canonicalises path into out (size bytes): absolute, without ".", ".." or
 * repeated slashes, symbolic links followed.  Returns out, or NULL with errno
 * (ENAMETOOLONG, ELOOP after 33 components, ENOMEM, or the error of getcwd or
 * readlink).  On failure the contents of out are undefined.
 */
const char *loomfs_canon_path(const char *path, char *out, int size);

/*
 * Looks up the first loomfs mount in /proc/mounts whose directory and device
 * match dir and dev (either may be NULL: any) after canonicalisation, and
 * whose options carry the token opt ("rw" or "ro").  On a match the handle's
 * n_devpath and n_mntdir are replaced by copies of the table's own fields and
 * 0 is returned; otherwise -1 with errno (ENOENT when nothing matched).
 */
LOOMFS_MUST_CHECK int loomfs_find_fs(struct loomfs *fs, const char *dev, const char *dir,
                                     const char *opt);

/*
 * Opens a handle as flags say.  NULL with errno on failure; nothing is left
 * behind.  Opens and size requests that a signal interrupts are taken up again.
 */
LOOMFS_MUST_CHECK struct loomfs *loomfs_open(const char *dev, const char *dir, int flags);

/* Releases the handle.  The cleaner semaphore's name stays in the system. */
void loomfs_close(struct loomfs *fs);

/*
 * Reads the superblock through n_dev_fd into n_sb, which must be NULL (else
 * EBUSY; EINVAL for a NULL handle).
 */
LOOMFS_MUST_CHECK int loomfs_read_sb(struct loomfs *fs);

/*
 * Reads and checks the two superblock copies of the device behind devfd (a
 * regular file or a block device) and returns a newly allocated
 * LOOMFS_SB_SIZE-byte copy of the usable one, the primary first (the caller
 * frees it), or NULL with errno.  A copy that the device ends in the middle
 * of counts as invalid.
 */
LOOMFS_MUST_CHECK unsigned char *loomfs_sb_read(int devfd);

/* Room for any cleaner semaphore name, its NUL included. */
#define LOOMFS_SEM_NAME_SIZE 251

/*
 * Writes the name of the cleaner semaphore of the file system on dev into
 * name (size bytes): "/loomfs-cleaner-<st_rdev>" for a block device,
 * "/loomfs-cleaner-<st_dev>-<st_ino>" for a regular file or a directory, the
 * numbers in decimal, links followed.  Every user of the file system derives
 * the name this way.  Returns 0, or -1 with errno: EINVAL (NULL argument, any
 * other file type), ENAMETOOLONG (size too small), or the error of stat.  On
 * failure the contents of name are undefined.
 */
LOOMFS_MUST_CHECK int loomfs_sem_name(const char *dev, char *name, size_t size);

/*
 * Where the C library keeps named semaphores: the semaphore "/NAME" is the
 * file LOOMFS_SEM_DIR "/" LOOMFS_SEM_FILE_PREFIX "NAME".
 */
#define LOOMFS_SEM_DIR         "/dev/shm"
#define LOOMFS_SEM_FILE_PREFIX "sem."

/*
 * Why the file of a cleaner semaphore is refused.  Any local user can create
 * files in LOOMFS_SEM_DIR, so the file is trusted only when it is a regular
 * file of the size of a semaphore with one name, owned by root or the
 * effective user and writable by nobody else, in a folder that lets nobody
 * else take its name away (root's and sticky, or writable by its owner alone).
 */
enum {
	LOOMFS_SEM_TRUSTED = 0,     /* not refused */
	LOOMFS_SEM_NOT_REGULAR = 1, /* a link, folder, FIFO, device or socket */
	LOOMFS_SEM_WRONG_SIZE = 2,  /* not the size of a semaphore */
	LOOMFS_SEM_LINKED = 3,      /* has more than one name */
	LOOMFS_SEM_FOREIGN = 4,     /* owned by a user other than root and the effective user */
	LOOMFS_SEM_WRITABLE = 5,    /* writable by its group or others */
	LOOMFS_SEM_UNSAFE_DIR = 6,  /* the folder lets others replace the file */
};

/*
 * Opens the cleaner semaphore called name (as loomfs_sem_name gives it),
 * creating it free (value 1, mode 0700, named only once complete) where it
 * does not exist yet; an existing one is opened as it is, without following
 * a link or blocking, and only when it may be trusted (see above).  The
 * semaphore is the same as the one other processes get from sem_open(3)
 * with that name, but the caller closes it with loomfs_close_sem, not
 * sem_close.  NULL with errno on failure: EPERM when the file or its folder
 * is refused (loomfs_sem_examine says why), EINVAL for a NULL name or one
 * that is not "/" and a file name.
 */
LOOMFS_MUST_CHECK sem_t *loomfs_open_sem_named(const char *name);

/*
 * loomfs_open_sem_named() for an existing semaphore only: creates nothing,
 * ENOENT when there is none.
 */
LOOMFS_MUST_CHECK sem_t *loomfs_open_sem_existing(const char *name);

/* Closes a semaphore of loomfs_open_sem_named() or loomfs_open_sem_existing(). */
void loomfs_close_sem(sem_t *sem);

/*
 * Examines the file of the semaphore called name without opening it or
 * following a link: fills *st with its status (the folder's for
 * LOOMFS_SEM_UNSAFE_DIR) and returns LOOMFS_SEM_TRUSTED or the reason it is
 * refused, or -1 with errno (ENOENT when there is no such semaphore).
 */
LOOMFS_MUST_CHECK int loomfs_sem_examine(const char *name, struct stat *st);

/*
 * Opens the cleaner semaphore of n_devpath into n_cleaner.  EINVAL for a NULL
 * handle or without a device name, EBUSY when n_cleaner is already open,
 * otherwise the errors of loomfs_sem_name and loomfs_open_sem_named.
 */
LOOMFS_MUST_CHECK int loomfs_open_sem(struct loomfs *fs);

/*
 * Control requests: 0, or -1 with errno (EINVAL for a NULL handle, EBADF
 * without a mount directory, otherwise the kernel's answer).  A request that a
 * signal interrupts (EINTR) is sent again.
 */
LOOMFS_MUST_CHECK int loomfs_sync(struct loomfs *fs, uint64_t *cno);
LOOMFS_MUST_CHECK int loomfs_get_status(struct loomfs *fs, struct loomfs_status *status);
LOOMFS_MUST_CHECK int loomfs_change_mode(struct loomfs *fs, uint64_t cno, int mode);

#ifdef __cplusplus
}
#endif

#endif /* LOOMFS_H */
