#include "lmfs_testing/stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "lmfs_testing/files.h"

namespace lmfs::testing {

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_.reset(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lmfs-stderr-XXXXXX";
  file_.reset(::mkostemp(name.data(), O_CLOEXEC));
  if (file_) {
    ::unlink(name.c_str());
    ::dup2(file_.get(), STDERR_FILENO);
  }
}

StderrCapture::~StderrCapture() { restore(); }

std::string StderrCapture::text() {
  restore();
  return file_ ? read_all(file_.get()) : std::string();
}

void StderrCapture::restore() {
  if (!saved_) return;
  std::fflush(stderr);
  ::dup2(saved_.get(), STDERR_FILENO);
  saved_.reset();
}

}  // namespace lmfs::testing
