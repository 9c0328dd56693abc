// What this process writes on descriptor 2 for a while, collected in an
// unlinked temporary file: for code under test that reports on standard
// error. Nested captures must stop in the reverse order of their start.
#pragma once

#include <string>

#include "lmfs_base/unique.h"

namespace lmfs::testing {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();  // stops the capture if text() did not
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Stops the capture and returns what was written.
  [[nodiscard]] std::string text();

 private:
  void restore();

  base::UniqueFd saved_;
  base::UniqueFd file_;
};

}  // namespace lmfs::testing
