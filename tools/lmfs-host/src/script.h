// The operations lmfs-host runs on a driver object and how their results are
// printed: one JSON line per operation.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lmfs_interface/driver.h"
#include "loader.h"

namespace lmfs::host {

struct Op {
  std::string name;
  std::vector<std::string> args;  // decoded bytes
};

// ---- the table of operations -------------------------------------------------
//
// Every operation lmfs-host knows is one row of operations(): its name, its
// arguments, whether it only reads the driver, and the call that runs it and
// writes its result line. Parsing, running, the --threads sections and the
// --help text all read the table; the manual page lists the same rows in the
// same order (the tests hold it to that).

// One argument of an operation: the name the usage shows for it and, when not
// every byte string will do, the check its decoded bytes must pass. `position`
// counts from 0; the error is a usage error's text.
struct Argument {
  using Check = std::expected<void, std::string> (*)(std::string_view op, std::size_t position,
                                                     const std::string& value);
  std::string_view shown;
  Check check = nullptr;
};

// Shared: a host may call it on one object from several threads at once.
// Exclusive: it changes the driver, and runs alone.
enum class Access : std::uint8_t { Shared, Exclusive };

struct Op;

struct Operation {
  // Calls the driver function through the object's operation table and
  // renders the result as one JSON line. The arguments have passed their
  // checks.
  using Call = std::string (*)(const Op& op, const abi::VTableFields& table, void* self);
  std::string_view name;
  std::vector<Argument> arguments;
  Access access;
  Call call;
};

// The operations, in the order the usage lists them.
[[nodiscard]] const std::vector<Operation>& operations();

// The row named `name`, or null.
[[nodiscard]] const Operation* find_operation(std::string_view name);

// The argument names as the usage shows them: "ROOT MEDIA", "" for none.
[[nodiscard]] std::string argument_names(const Operation& operation);

// The "Operations:" paragraph of --help, each line ended by a newline.
[[nodiscard]] std::string operations_help();

// ---- scripts ------------------------------------------------------------------

// Words of a script: one operation per line, blanks between words, "#" starts
// a comment.
[[nodiscard]] std::vector<std::string> split_script(const std::string& text);

// Groups words into operations, checking names and argument counts, decodes
// %XX escapes and checks each argument as its row says.
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

  // Runs one operation of parse_ops() and renders its result.
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
