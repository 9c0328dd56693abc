// An environment variable of this process set, or removed, for one scope;
// the children a test starts inherit it. The old value comes back at the end.
#pragma once

#include <optional>
#include <string>

namespace lmfs::testing {

class ScopedEnv {
 public:
  // Sets `name` to `value`, or removes it for std::nullopt.
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace lmfs::testing
