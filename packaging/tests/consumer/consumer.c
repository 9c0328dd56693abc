/*
 * A program of someone else's that uses the installed control library:
 * built once through pkg-config (loomfs.pc) and once through CMake
 * (find_package(loomfs), loomfs::loomfs) by packaging/tests/installed.sh.
 * It needs no loomfs mount: it checks the calls that answer without one.
 */
#include <errno.h>
#include <loomfs.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

static int checks, failures;

static void expect(int ok, const char *what)
{
	printf("%s: %s\n", ok ? "ok" : "FAILED", what);
	checks++;
	if (!ok)
		failures++;
}

int main(int argc, char **argv)
{
	char out[4096], name[LOOMFS_SEM_NAME_SIZE], want[LOOMFS_SEM_NAME_SIZE];
	const char *file = argc > 1 ? argv[1] : argv[0];
	struct stat st;

	expect(loomfs_canon_path("/usr//lib/../bin/.", out, sizeof out) == out &&
	           strcmp(out, "/usr/bin") == 0,
	       "loomfs_canon_path removes ., .. and repeated slashes");
	expect(loomfs_canon_path("/usr/bin", out, 4) == NULL && errno == ENAMETOOLONG,
	       "loomfs_canon_path refuses a short buffer with ENAMETOOLONG");

	/* A regular file's semaphore is named after its device and inode. */
	expect(stat(file, &st) == 0, "stat of this program");
	snprintf(want, sizeof want, "/loomfs-cleaner-%llu-%llu", (unsigned long long)st.st_dev,
	         (unsigned long long)st.st_ino);
	expect(loomfs_sem_name(file, name, sizeof name) == 0 && strcmp(name, want) == 0,
	       "loomfs_sem_name names a regular file's semaphore by device and inode");
	expect(loomfs_sem_name("/dev/null", name, sizeof name) == -1 && errno == EINVAL,
	       "loomfs_sem_name refuses a character device with EINVAL");

	expect(loomfs_open(NULL, "/nonexistent/loomfs-consumer", LOOMFS_OPEN_MOUNT_W) == NULL &&
	           errno == ENOENT,
	       "loomfs_open finds no loomfs mount on a missing directory (ENOENT)");
	expect(loomfs_open(NULL, NULL, 0) == NULL && errno == EINVAL,
	       "loomfs_open refuses flags without a device or mount bit (EINVAL)");
	expect(loomfs_sync(NULL, NULL) == -1 && errno == EINVAL, "loomfs_sync refuses a NULL handle (EINVAL)");

	printf("consumer: %d of %d checks failed\n", failures, checks);
	return failures ? 1 : 0;
}
