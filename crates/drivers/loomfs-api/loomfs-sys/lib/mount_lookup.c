/*
 * mount_lookup.c - the mount lookup: the first loomfs line of the kernel's
 * mount table that matches the caller's device, directory and option
 * (loomfs_find_fs, and loomfs_find_fs_in for a table the caller opened).
 *
 * Fields are split on the C locale's white space and used as the table
 * writes them: on purpose, octal escapes such as "\040" are not decoded, so a
 * name with a blank matches only in its escaped form, as with the file
 * system's own tools.  Keep it so.
 */
#define _GNU_SOURCE

#include "loomfs.h"
#include "loomfs_internal.h"

#include <errno.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
	MNT_LINE_SIZE = 2048, /* a table line of at most 2047 characters */
	CANON_SIZE = 4098,    /* canonical names compared by the lookup */
	NMNTFLDS = 6,         /* fields of a mount-table line */
};

#define MOUNTS_PATH "/proc/mounts"
#define LOOMFS_TYPE "loomfs"

/* The white-space class of the C locale, independent of the process locale. */
static bool is_white(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum line_kind { LINE_END = -1, LINE_TOO_LONG = 0, LINE_OK = 1 };

/*
 * Reads the next table line into buf without its newline.  A line that does
 * not fit (more than size - 1 characters) is consumed whole and reported as
 * LINE_TOO_LONG, so none of its pieces is ever taken for a line of its own.
 * A line cut short by a read error is dropped.
 */
static enum line_kind read_line(FILE *table, char *buf, size_t size)
{
	size_t n = 0;
	bool too_long = false;
	int c;

	while ((c = getc_unlocked(table)) != EOF && c != '\n') {
		if (n < size - 1)
			buf[n++] = (char)c;
		else
			too_long = true;
	}
	if (c == EOF && (ferror(table) || (n == 0 && !too_long)))
		return LINE_END;
	buf[n] = '\0';
	return too_long ? LINE_TOO_LONG : LINE_OK;
}

/*
 * Splits line into its NMNTFLDS fields in place.  False when it has fewer or
 * more: the kernel writes exactly six, escaping the blanks, tabs and newlines
 * of names, but not every white-space character, so a longer line is a name
 * that someone chose to look like several fields.  A field never extends
 * past the line's terminating NUL.
 */
static bool split_fields(char *p, char *fld[NMNTFLDS])
{
	for (int i = 0; i < NMNTFLDS; i++) {
		while (is_white(*p))
			p++;
		if (*p == '\0')
			return false;
		fld[i] = p;
		while (*p != '\0' && !is_white(*p))
			p++;
		if (*p != '\0')
			*p++ = '\0';
	}
	while (is_white(*p))
		p++;
	return *p == '\0';
}

/* True when the comma-separated list has a token equal to tok. */
static bool has_token(const char *list, const char *tok)
{
	size_t toklen = strlen(tok);

	for (const char *p = list;;) {
		const char *comma = strchr(p, ',');
		size_t len = comma != NULL ? (size_t)(comma - p) : strlen(p);

		if (len == toklen && memcmp(p, tok, len) == 0)
			return true;
		if (comma == NULL)
			return false;
		p = comma + 1;
	}
}

/*
 * Compares a table field with a filter: the field's canonical form, or the
 * field as written where it cannot be canonicalised.
 */
static bool field_matches(const char *field, const char *filter, char *canon)
{
	const char *name = loomfs_canon_path(field, canon, CANON_SIZE);

	return strcmp(name != NULL ? name : field, filter) == 0;
}

/*
 * Sets *filter for a caller's name: a copy of its canonical form (stored in
 * *copy for release), or the name itself where it cannot be canonicalised.
 */
static int make_filter(const char *name, char *canon, const char **filter, char **copy)
{
	*filter = name;
	*copy = NULL;
	if (name == NULL || loomfs_canon_path(name, canon, CANON_SIZE) == NULL)
		return 0;
	*copy = strdup(canon);
	if (*copy == NULL)
		return -1;
	*filter = *copy;
	return 0;
}

/* The lookup; reads table, or /proc/mounts when table is NULL. */
static int find_fs(struct loomfs *fs, FILE *table, const char *dev, const char *dir, const char *opt)
{
	char line[MNT_LINE_SIZE];
	char canon[CANON_SIZE];
	char *fld[NMNTFLDS];
	const char *dev_filter, *dir_filter;
	char *dev_copy = NULL, *dir_copy = NULL;
	char *devpath = NULL, *mntdir = NULL;
	FILE *own = NULL;
	enum line_kind kind;
	int err;

	if (fs == NULL || opt == NULL) {
		errno = EINVAL;
		return -1;
	}
	if (make_filter(dev, canon, &dev_filter, &dev_copy) < 0 ||
	    make_filter(dir, canon, &dir_filter, &dir_copy) < 0) {
		err = ENOMEM;
		goto out;
	}
	if (table == NULL) {
		own = fopen(MOUNTS_PATH, "re");
		if (own == NULL) {
			err = errno;
			goto out;
		}
		table = own;
	}

	err = ENOENT;
	while ((kind = read_line(table, line, sizeof line)) != LINE_END) {
		if (kind == LINE_TOO_LONG || !split_fields(line, fld))
			continue;
		if (strcmp(fld[2], LOOMFS_TYPE) != 0)
			continue;
		if (dir_filter != NULL && !field_matches(fld[1], dir_filter, canon))
			continue;
		if (dev_filter != NULL && !field_matches(fld[0], dev_filter, canon))
			continue;
		if (!has_token(fld[3], opt))
			continue;

		devpath = strdup(fld[0]);
		mntdir = strdup(fld[1]);
		if (devpath == NULL || mntdir == NULL) {
			err = ENOMEM;
			break;
		}
		free(fs->n_devpath);
		free(fs->n_mntdir);
		fs->n_devpath = devpath;
		fs->n_mntdir = mntdir;
		devpath = mntdir = NULL;
		err = 0;
		break;
	}

out:
	if (own != NULL)
		fclose(own);
	free(devpath);
	free(mntdir);
	free(dev_copy);
	free(dir_copy);
	if (err != 0) {
		errno = err;
		return -1;
	}
	return 0;
}

int loomfs_find_fs(struct loomfs *fs, const char *dev, const char *dir, const char *opt)
{
	return find_fs(fs, NULL, dev, dir, opt);
}

int loomfs_find_fs_in(struct loomfs *fs, FILE *table, const char *dev, const char *dir, const char *opt)
{
	if (table == NULL) {
		errno = EINVAL;
		return -1;
	}
	return find_fs(fs, table, dev, dir, opt);
}
