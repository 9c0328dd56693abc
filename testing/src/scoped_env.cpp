#include "lmfs_testing/scoped_env.h"

#include <cstdlib>

namespace lmfs::testing {
namespace {

void put(const char* name, const std::optional<std::string>& value) {
  // A test changes its environment before it starts any thread.
  if (value) {
    ::setenv(name, value->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  } else {
    ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  put(name_, value);
}

ScopedEnv::~ScopedEnv() { put(name_, old_); }

}  // namespace lmfs::testing
