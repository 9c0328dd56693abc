#include "loomfs_api/error.h"

#include "lmfs_text/text.h"
#include "lmfs_text/errno_text.h"
#include "loomfs_api/errno_text.h"

namespace lmfs::loomfs {

static_assert(std::variant_size_v<LoomFsApiError::Payload> == 18);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(LoomFsApiError::Kind::ChangeFailed),
                                              LoomFsApiError::Payload>,
                   LoomFsApiError::ChangeFailed>);

std::expected<std::string, NulError> to_c_string(std::string_view bytes) {
  if (const auto pos = bytes.find('\0'); pos != std::string_view::npos) {
    return std::unexpected(NulError{pos, std::string(bytes)});
  }
  return std::string(bytes);
}

namespace {

struct Renderer {
  std::string& out;

  void operator()(const LoomFsApiError::TooManyLayoutEntries& v) const {
    out.append("Special File Layout Group Block Error: too many entries ").append(std::to_string(v.count));
  }
  void operator()(const LoomFsApiError::SegmentTooSmall& v) const {
    out.append("Segment size ")
        .append(std::to_string(v.size))
        .append(" blocks is too small, need ")
        .append(std::to_string(v.needed))
        .append(" blocks.");
  }
  void operator()(const LoomFsApiError::TooManySegmentFiles& v) const {
    out.append("Segment Error: too many files ").append(std::to_string(v.count));
  }
  void operator()(const LoomFsApiError::InodeOutOfRange& v) const {
    out.append("Segment Error: Inode number ").append(std::to_string(v.inode)).append(" out of range");
  }
  void operator()(const LoomFsApiError::InvalidStorage& v) const {
    out.append("invalid storage: ").append(text::lossy_utf8(v.path));
  }
  void operator()(const LoomFsApiError::DeviceBusy& v) const {
    out.append("device busy: ").append(text::lossy_utf8(v.path));
  }
  void operator()(const LoomFsApiError::LoopDevicePath&) const { out.append("Weird loop-back device path"); }
  void operator()(const LoomFsApiError::ContainsData& v) const {
    out.append("contains data: ").append(v.text);
  }
  void operator()(const LoomFsApiError::LockFailed& v) const { out.append("lock failed: ").append(v.text); }
  void operator()(const LoomFsApiError::Io& v) const { out.append("i/o error: ").append(v.error.message()); }
  void operator()(const LoomFsApiError::Procfs& v) const {
    out.append("procfs error: ").append(v.error.message);
  }
  void operator()(const LoomFsApiError::Magic& v) const {
    out.append("magic data error: ").append(v.error.message);
  }
  void operator()(const LoomFsApiError::System& v) const {
    // A number the kernel does not define has no name of its own.
    const std::string_view name = text::errno_name(v.errnum);
    out.append("system error: ");
    if (name.empty()) {
      out.append("UnknownErrno: Unknown errno");
    } else {
      out.append(name).append(": ").append(errno_description(v.errnum));
    }
  }
  void operator()(const LoomFsApiError::NullPointer&) const { out.append("Null Pointer Error"); }
  void operator()(const LoomFsApiError::NotOpen&) const { out.append("Loomfs not open (call open first)"); }
  void operator()(const LoomFsApiError::OpenFailed&) const { out.append("Unable to open loomfs"); }
  void operator()(const LoomFsApiError::SyncFailed&) const { out.append("Unable to sync loomfs"); }
  void operator()(const LoomFsApiError::ChangeFailed& v) const {
    out.append("Unable to change ").append(v.from).append(" to ").append(v.to);
  }
};

}  // namespace

void LoomFsApiError::write_to(std::string& out) const { std::visit(Renderer{out}, payload_); }

std::string LoomFsApiError::message() const {
  std::string out;
  write_to(out);
  return out;
}

}  // namespace lmfs::loomfs
