// Files, scratch directories and descriptors as tests look at them: whole
// files read and written at once, text cut into lines, a directory that goes
// with everything in it, and the descriptors a process holds open.
// Nothing here fails a test by itself; failures are values.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace lmfs::testing {

// The whole content of a file; empty when it cannot be read.
[[nodiscard]] std::string read_file(const std::string& path);

// Everything from the start of the file open at `fd`, whatever its offset
// (which stays as it is); empty when it cannot be read.
[[nodiscard]] std::string read_all(int fd);

// Replaces the content of `path` (created 0644 if missing); false when it
// could not be written in full.
bool write_file(const std::string& path, const std::string& text);

// The lines of `text`, without their newlines; a last line without one
// counts, an empty text has none.
[[nodiscard]] std::vector<std::string> split_lines(const std::string& text);

// The descriptors open in process `pid` (this one when 0), without the one
// used to list them.
[[nodiscard]] std::set<int> open_fds(pid_t pid = 0);

// A fresh directory under $TMPDIR (else /tmp), by its canonical name,
// removed with everything in it on destruction. A test cannot go on without
// one, so failing to make it throws std::system_error.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace lmfs::testing
