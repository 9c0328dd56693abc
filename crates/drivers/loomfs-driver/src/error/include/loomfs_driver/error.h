// LoomFsDriverError: the one error type of the driver object and the store
// manager. A tagged union of 11 variants, each an owned value with a fixed text
// rendering. I/O errors, path-safety errors and control-API errors convert into
// it implicitly (into Io, Security and Api), so `std::unexpected(io_error)`
// works wherever a LoomFsDriverError is expected.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "lmfs_path_safety/path_safety.h"
#include "loomfs_api/error.h"
#include "loomfs_api/io_error.h"

namespace lmfs::loomfs {

// Error of building an options record field by field.
class OptionsBuildError {
 public:
  // A required field was not set: "`<field>` must be initialized".
  struct UninitializedField {
    std::string field;
    friend bool operator==(const UninitializedField&, const UninitializedField&) = default;
  };
  // A field's value was refused: the text as given.
  struct Validation {
    std::string text;
    friend bool operator==(const Validation&, const Validation&) = default;
  };
  using Payload = std::variant<UninitializedField, Validation>;

  OptionsBuildError(UninitializedField v) : payload_(std::move(v)) {}  // NOLINT: implicit on purpose
  OptionsBuildError(Validation v) : payload_(std::move(v)) {}          // NOLINT

  [[nodiscard]] const Payload& payload() const noexcept { return payload_; }
  [[nodiscard]] std::string message() const;

  friend bool operator==(const OptionsBuildError&, const OptionsBuildError&) = default;

 private:
  Payload payload_;
};

class LoomFsDriverError {
 public:
  // The text of InvalidBlockDevice when no device is known.
  static constexpr std::string_view kNoDevice = "<none>";

  // Variant records, in tag order.
  struct MountFailed {
    friend bool operator==(const MountFailed&, const MountFailed&) = default;
  };
  struct FormatFailed {
    std::string text;
    friend bool operator==(const FormatFailed&, const FormatFailed&) = default;
  };
  struct Configuration {
    OptionsBuildError error;
    friend bool operator==(const Configuration&, const Configuration&) = default;
  };
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct Security {
    path_safety::SecurityError error;
    friend bool operator==(const Security&, const Security&) = default;
  };
  struct Api {
    LoomFsApiError error;
    friend bool operator==(const Api&, const Api&) = default;
  };
  struct InvalidBlockDevice {
    std::string text;  // the device as text, or kNoDevice
    friend bool operator==(const InvalidBlockDevice&, const InvalidBlockDevice&) = default;
  };
  struct OpenBlockDevice {
    std::string text;
    friend bool operator==(const OpenBlockDevice&, const OpenBlockDevice&) = default;
  };
  struct NoDevices {
    friend bool operator==(const NoDevices&, const NoDevices&) = default;
  };
  struct TooManyDevices {
    friend bool operator==(const TooManyDevices&, const TooManyDevices&) = default;
  };
  struct Other {
    std::string text;
    friend bool operator==(const Other&, const Other&) = default;
  };

  using Payload = std::variant<MountFailed, FormatFailed, Configuration, Io, Security, Api,
                               InvalidBlockDevice, OpenBlockDevice, NoDevices, TooManyDevices, Other>;

  // The variant's tag, equal to its position in Payload.
  enum class Kind : std::uint8_t {
    MountFailed,
    FormatFailed,
    Configuration,
    Io,
    Security,
    Api,
    InvalidBlockDevice,
    OpenBlockDevice,
    NoDevices,
    TooManyDevices,
    Other,
  };

  // From any variant record.
  // clang-format off
  template <class V>
    requires(!std::is_same_v<std::remove_cvref_t<V>, LoomFsDriverError> &&
             std::is_constructible_v<Payload, V &&>)
  LoomFsDriverError(V&& variant) : payload_(std::forward<V>(variant)) {}  // NOLINT: implicit on purpose
  // clang-format on

  // The conversions of the layers below.
  LoomFsDriverError(IoError e) : payload_(Io{std::move(e)}) {}                   // NOLINT
  LoomFsDriverError(path_safety::SecurityError e) : payload_(Security{std::move(e)}) {}  // NOLINT
  LoomFsDriverError(LoomFsApiError e) : payload_(Api{std::move(e)}) {}           // NOLINT

  // InvalidBlockDevice with kNoDevice.
  [[nodiscard]] static LoomFsDriverError no_device() { return InvalidBlockDevice{std::string(kNoDevice)}; }

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
  [[nodiscard]] const Payload& payload() const noexcept { return payload_; }

  // The variant record if the error is of that variant, else null.
  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&payload_);
  }

  // The rendering: one line, no trailing newline.
  [[nodiscard]] std::string message() const;
  // Appends the rendering to `out`.
  void write_to(std::string& out) const;

  friend bool operator==(const LoomFsDriverError&, const LoomFsDriverError&) = default;

 private:
  Payload payload_;
};

}  // namespace lmfs::loomfs
