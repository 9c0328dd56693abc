// The plug-in's boundary: LoomFsDriver exported as the interface's driver.
// Its answers become the interface's values here, and its errors are
// rendered here, once; lmfs_interface/export.h makes the records.
#include <expected>
#include <string>
#include <string_view>

#include "lmfs_interface/export.h"
#include "lmfs_text/strcat.h"
#include "loomfs_driver/driver.h"

namespace lmfs::loomfs {
namespace {

using Error = lmfs::StorageDriverError;

Error to_error(const StoreOpError& e) {
  switch (e.kind()) {
    case StoreOpError::Kind::InvalidMediaType:
      return e.owned() ? Error::of(Error::Kind::InvalidMediaType, e.text())
                       : Error::borrowed(Error::Kind::InvalidMediaType, "<none>");
    case StoreOpError::Kind::InvalidParameterValue: return Error::invalid_parameter_value(e.text(), e.value());
    case StoreOpError::Kind::Other: break;
  }
  return Error::other(e.text());
}

template <class T>
std::expected<T, Error> answer(std::expected<T, StoreOpError>&& r) {
  if (!r) return std::unexpected(to_error(r.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*r);
  }
}

std::expected<Snapshot, Error> snapshot_answer(const std::expected<std::uint64_t, LoomFsDriverError>& r) {
  if (!r) return std::unexpected(Error::other(r.error().message()));
  return Snapshot::from_checkpoint(*r);
}

std::expected<Snapshot, Error> unimplemented(std::string_view what) {
  return std::unexpected(Error::of(Error::Kind::Unimplemented, std::string(what)));
}

class LoomFsPlugin {
 public:
  static std::expected<LoomFsPlugin, Error> create(std::string_view params) {
    auto decoded = decode_options(params);
    if (!decoded) return std::unexpected(Error::other(decoded.error().text("serde error: ")));
    return LoomFsPlugin(std::move(*decoded));
  }

  std::expected<void, Error> init() { return {}; }
  std::expected<void, Error> done() { return {}; }
  std::optional<std::string> root() const { return driver_.root(); }
  std::expected<path_safety::JoinedPath, Error> at_root(std::string_view path) const {
    auto joined = driver_.at_root(path);
    if (!joined) return std::unexpected(Error::of(Error::Kind::SecurityError, joined.error().path));
    // Rebuilt from its parts, not copied whole: a whole copy reads the
    // driver's fresh 8-byte stores back with 16-byte loads, which cannot be
    // forwarded from the store buffer and stall for about a third of the call.
    return path_safety::JoinedPath(joined->folder(), joined->name());
  }
  std::expected<StorageMedia, Error> stores() const { return answer(driver_.stores()); }
  // The optional texts the interface passes are not used by this driver.
  std::expected<void, Error> initialize_stores(const StorageMedia& media, const std::optional<std::string>&) {
    return answer(driver_.initialize_stores(media));
  }
  std::expected<void, Error> attach_stores(std::string_view root, const StorageMedia& media,
                                           const std::optional<std::string>&) {
    return answer(driver_.attach_stores(root, media));
  }
  std::expected<void, Error> detach_stores(std::string_view root) { return answer(driver_.detach_stores(root)); }
  std::expected<Snapshot, Error> take_snapshot() const { return snapshot_answer(driver_.take_snapshot()); }
  std::expected<Snapshot, Error> next_snapshot() const { return snapshot_answer(driver_.next_snapshot()); }
  std::expected<Snapshot, Error> last_snapshot() const { return snapshot_answer(driver_.last_snapshot()); }
  std::expected<Snapshot, Error> edge_snapshot() const { return unimplemented("Edge Snapshot"); }
  std::expected<Snapshot, Error> full_snapshot() const { return unimplemented("Full Snapshot"); }
  std::expected<Snapshot, Error> snapshot(std::string_view, bool) const { return unimplemented("Snapshot"); }
  std::string debug(bool alternate) const { return driver_.debug(alternate); }

 private:
  explicit LoomFsPlugin(LoomFsDriverOptions options) : driver_(std::move(options)) {}

  LoomFsDriver driver_;
};

}  // namespace
}  // namespace lmfs::loomfs

LMFS_EXPORT_STORAGE_DRIVER(lmfs::loomfs::LoomFsPlugin)
