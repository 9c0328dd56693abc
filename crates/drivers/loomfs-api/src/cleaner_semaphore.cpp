#include "loomfs_api/cleaner_semaphore.h"

#include <sys/stat.h>
#include <unistd.h>

#include "lmfs_text/ownership.h"

namespace lmfs::loomfs {
namespace {

std::string_view kind_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFLNK: return "a symbolic link";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "no regular file";
  }
}

std::string reason(int refusal, const struct stat& st) {
  const std::string owner = text::user_text(st.st_uid);
  switch (refusal) {
    case LOOMFS_SEM_NOT_REGULAR:
      return "it is " + std::string(kind_of(st.st_mode)) + " owned by " + owner;
    case LOOMFS_SEM_WRONG_SIZE:
      return "it is " + std::to_string(st.st_size) + " bytes long, not " + std::to_string(sizeof(sem_t)) +
             " (owned by " + owner + ")";
    case LOOMFS_SEM_LINKED:
      return "it has " + std::to_string(st.st_nlink) + " names (owned by " + owner + ")";
    case LOOMFS_SEM_FOREIGN:
      return "it is owned by " + owner + ", not by root or uid " + std::to_string(::geteuid());
    case LOOMFS_SEM_WRITABLE:
      return "it is writable by its group or others (mode " + text::mode_text(st.st_mode) + ", owned by " + owner + ")";
    case LOOMFS_SEM_UNSAFE_DIR:
      return "its folder " LOOMFS_SEM_DIR " lets other users replace it (mode " + text::mode_text(st.st_mode) +
             ", owned by " + owner + ")";
    default:
      return "it cannot be trusted";
  }
}

}  // namespace

std::optional<std::string> cleaner_semaphore_refusal(const char* name) {
  struct stat st{};
  const int refusal = ::loomfs_sem_examine(name, &st);
  if (refusal <= LOOMFS_SEM_TRUSTED) return std::nullopt;
  return "cleaner semaphore " LOOMFS_SEM_DIR "/" LOOMFS_SEM_FILE_PREFIX + std::string(name + 1) + " refused: " +
         reason(refusal, st);
}

}  // namespace lmfs::loomfs
