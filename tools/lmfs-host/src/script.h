// The operations lmfs-host runs on a driver object and how their results are
// printed: one JSON line per operation.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "lmfs_interface/driver.h"
#include "loader.h"

namespace lmfs::host {

struct Op {
  std::string name;
  std::vector<std::string> args;  // decoded bytes
};

// Words of a script: one operation per line, blanks between words, "#" starts
// a comment.
[[nodiscard]] std::vector<std::string> split_script(const std::string& text);

// Groups words into operations, checking names and argument counts, and
// decodes %XX escapes.
[[nodiscard]] std::expected<std::vector<Op>, std::string> parse_ops(const std::vector<std::string>& words);

// A media list from its command-line form (see main.cpp).
[[nodiscard]] std::expected<lmfs::StorageMedia, std::string> parse_media(const std::string& text);

// A driver object made by the plug-in's `new`, dropped through its own table.
class DriverObject {
 public:
  explicit DriverObject(abi::StorageDriver_TO object) : object_(object) {}
  DriverObject(const DriverObject&) = delete;
  DriverObject& operator=(const DriverObject&) = delete;
  ~DriverObject();

  // Runs one operation and renders its result.
  [[nodiscard]] std::string run(const Op& op);

 private:
  abi::StorageDriver_TO object_;
};

struct Driver {
  std::string result_line;                // the JSON line for `new`
  std::unique_ptr<DriverObject> object;   // null when `new` failed

  // Calls `new`. The error is a damaged library's: an unknown result or a
  // driver object whose tables are not whole.
  [[nodiscard]] static std::expected<Driver, std::string> create(const LoadedPlugin& plugin, const std::string& params);
};

}  // namespace lmfs::host
