// libFuzzer target for the parameter decoder: any bytes must decode or fail
// with a located message, without crashing, hanging or leaking.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "loomfs_driver/options.h"

namespace {

// "... at line L column C" with L >= 1.
bool located(const std::string& message) {
  const std::size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return false;
  const std::size_t column = message.find(" column ", at + 9);
  if (column == std::string::npos || column == at + 9) return false;
  const std::string_view line(message.data() + at + 9, column - at - 9);
  const std::string_view col(message.data() + column + 8, message.size() - column - 8);
  const auto digits = [](std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789") == s.npos; };
  return digits(line) && digits(col) && line != "0";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  const auto result = lmfs::loomfs::decode_options(json);
  if (result) {
    static_cast<void>(lmfs::loomfs::debug_options(*result, true));
  } else if (!located(result.error().text())) {
    std::abort();
  }
  return 0;
}
