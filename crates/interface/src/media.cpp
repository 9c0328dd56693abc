#include "lmfs_interface/media.h"

#include "lmfs_text/text.h"

namespace lmfs {

std::string medium_text(const StorageMedium& medium) {
  switch (medium.kind) {
    case MediumKind::Block:
      return medium.value.starts_with("/dev") ? medium.value : "/dev" + medium.value;
    case MediumKind::Path:
      return text::lossy_utf8(medium.value);
    case MediumKind::URN:
      return "urn:" + medium.value;
    case MediumKind::None:
      break;
  }
  return "none::";
}

std::string media_text(const StorageMedia& media) {
  std::string out;
  for (std::size_t i = 0; i < media.inner.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(medium_text(media.inner[i]));
  }
  return out;
}

std::string debug_os_string_record(const std::string& value, bool alternate) {
  return text::debug_struct(alternate, "ROsString", {{"inner", text::debug_str(value)}});
}

std::string debug_medium(const StorageMedium& medium, bool alternate) {
  switch (medium.kind) {
    case MediumKind::Block:
      return text::debug_tuple(alternate, "Block", {debug_os_string_record(medium.value, alternate)});
    case MediumKind::Path: {
      std::vector<std::string> bytes;
      bytes.reserve(medium.value.size());
      for (unsigned char b : medium.value) bytes.push_back(std::to_string(b));
      return text::debug_tuple(
          alternate, "Path",
          {text::debug_struct(alternate, "RPathBuf", {{"inner", text::debug_list(alternate, bytes)}})});
    }
    case MediumKind::URN:
      return text::debug_tuple(alternate, "URN", {text::debug_str(medium.value)});
    case MediumKind::None:
      break;
  }
  return "None";
}

std::string debug_media(const StorageMedia& media, bool alternate) {
  std::vector<std::string> items;
  items.reserve(media.inner.size());
  for (const auto& m : media.inner) items.push_back(debug_medium(m, alternate));
  return text::debug_struct(alternate, "StorageMedia", {{"inner", text::debug_list(alternate, items)}});
}

}  // namespace lmfs
