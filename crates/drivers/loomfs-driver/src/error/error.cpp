#include "loomfs_driver/error.h"

namespace lmfs::loomfs {

static_assert(std::variant_size_v<LoomFsDriverError::Payload> == 11);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(LoomFsDriverError::Kind::Other),
                                              LoomFsDriverError::Payload>,
                   LoomFsDriverError::Other>);

std::string OptionsBuildError::message() const {
  if (const auto* v = std::get_if<UninitializedField>(&payload_))
    return "`" + v->field + "` must be initialized";
  return std::get<Validation>(payload_).text;
}

namespace {

struct Renderer {
  std::string& out;

  void operator()(const LoomFsDriverError::MountFailed&) const {
    out.append(
        "Mounting the store failed. This is usually caused by a bad device path. or a bad mount point.");
  }
  void operator()(const LoomFsDriverError::FormatFailed& v) const {
    out.append("Formatting the store failed. ").append(v.text);
  }
  void operator()(const LoomFsDriverError::Configuration& v) const {
    out.append("Configuration Error: ").append(v.error.message());
  }
  // The cause is deliberately not shown.
  void operator()(const LoomFsDriverError::Io&) const { out.append("I/O Error"); }
  void operator()(const LoomFsDriverError::Security& v) const {
    out.append("Security Error: ").append(v.error.message());
  }
  void operator()(const LoomFsDriverError::Api& v) const {
    out.append("LoomFS API Error: ");
    v.error.write_to(out);
  }
  void operator()(const LoomFsDriverError::InvalidBlockDevice& v) const {
    out.append("Invalid Block Device: ").append(v.text);
  }
  void operator()(const LoomFsDriverError::OpenBlockDevice& v) const {
    out.append("Error opening the block device: ").append(v.text);
  }
  void operator()(const LoomFsDriverError::NoDevices&) const { out.append("No devices specified."); }
  void operator()(const LoomFsDriverError::TooManyDevices&) const {
    out.append("Too many devices, loomfs can only be deployed on one block device");
  }
  void operator()(const LoomFsDriverError::Other& v) const { out.append("Other Error: ").append(v.text); }
};

}  // namespace

void LoomFsDriverError::write_to(std::string& out) const { std::visit(Renderer{out}, payload_); }

std::string LoomFsDriverError::message() const {
  std::string out;
  write_to(out);
  return out;
}

}  // namespace lmfs::loomfs
