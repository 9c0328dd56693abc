#include "lmfs_text/text.h"
#include "loomfs_driver/options.h"

namespace lmfs::loomfs {

std::string debug_options(const LoomFsDriverOptions& opts, bool alternate) {
  std::string flags;
  if (opts.flags) flags = text::debug_str(*opts.flags);
  return text::debug_struct(alternate, "LoomFsDriverOptions",
                            {{"flags", text::debug_option(alternate, opts.flags ? &flags : nullptr)},
                             {"bin_dir", text::debug_os_str(opts.bin_dir)},
                             {"media", debug_media(opts.media, alternate)},
                             {"root", text::debug_os_str(opts.root)}});
}

}  // namespace lmfs::loomfs
