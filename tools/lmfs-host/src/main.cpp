// lmfs-host: loads a storage-driver plug-in as the framework's hosts do,
// creates a driver from JSON parameters and runs operations on it, printing
// each result as one JSON line.
//
//   lmfs-host PLUGIN (--params JSON | --params-file FILE) [--script FILE] [--echo] [--threads N] [OP ARGS...]...
//   lmfs-host --lock-status DEVICE
//   lmfs-host --release-lock DEVICE
//   lmfs-host --layout [--full] PLUGIN
//   lmfs-host --help
//   lmfs-host --version [PLUGIN]
//
// --echo prints each operation ("> op args") before its result. --threads N
// runs each run of shared-access operations on N threads at once (see
// runner.h); results then carry "thread" and "seq". --resources ends with a
// line naming the descriptors, file mappings and children the operations
// left behind.
// The operations and their arguments are the rows of operations() (script.h);
// arguments are %XX-escaped byte strings. MEDIA is a comma-separated list of
// block:NAME, path:BYTES, urn:TEXT, none; "-" is the empty list.
//
// --lock-status and --release-lock load no plug-in: they look at the cleaner
// lock of the loomfs file system on DEVICE (see cleaner_lock.h).
// --layout only opens PLUGIN's library header and prints the type-layout
// graph it states for its root module, one section per type, or with --full
// as the framework itself prints it.
// --help prints the usage on standard output; --version this host's version
// and, given PLUGIN, the version and names its library header states (the
// header alone is read, as for --layout). The manual page is lmfs-host(1).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cleaner_lock.h"
#include "lmfs_text/strcat.h"
#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_interface/media.h"
#include "lmfs_text/number.h"
#include "lmfs_text/text.h"
#include "loader.h"
#include "runner.h"
#include "script.h"

namespace lmfs::host {
namespace {

using text::cat;

constexpr int kExitUsage = 2;
constexpr int kExitLoad = 3;
constexpr int kExitNewFailed = 1;
constexpr unsigned long kMaxThreads = 256;

#ifndef LMFS_VERSION
#define LMFS_VERSION "unknown"
#endif
#ifndef LMFS_PLUGIN_DIR
#define LMFS_PLUGIN_DIR "unknown"
#endif

constexpr char kUsage[] =
    "usage: lmfs-host PLUGIN (--params JSON | --params-file FILE) [--script FILE] [--echo] [--threads N]\n"
    "                 [--resources] [OP ARGS...]...\n"
    "       lmfs-host --lock-status DEVICE\n"
    "       lmfs-host --release-lock DEVICE\n"
    "       lmfs-host --layout [--full] PLUGIN\n"
    "       lmfs-host --help | --version [PLUGIN]\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "lmfs-host: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

int help() {
  std::printf(
      "lmfs-host %s: loads a storage-driver plug-in, checks it as the plug-in framework's hosts do,\n"
      "creates a driver from JSON parameters and runs operations on it.\n\n"
      "%s\n"
      "  --params JSON          the driver's parameters\n"
      "  --params-file FILE     the driver's parameters, read from FILE\n"
      "  --script FILE          operations read from FILE, one per line (# starts a comment)\n"
      "  --echo                 print each operation (\"> op args\") before its result\n"
      "  --threads N            run shared-access operations on N threads at once (1 to %lu)\n"
      "  --resources            end with a line naming what the operations left open\n"
      "  --lock-status DEVICE   is the cleaner lock of DEVICE's file system held? (no plug-in loaded)\n"
      "  --release-lock DEVICE  post a cleaner lock left held by a dead process\n"
      "  --layout [--full] PLUGIN  print the type-layout graph PLUGIN's header states\n"
      "  --version [PLUGIN]     this host's version; with PLUGIN, what its library header states\n"
      "  --help                 this text\n\n"
      "%s"
      "Arguments are byte strings with %%XX escapes. MEDIA is a comma-separated list of block:NAME,\n"
      "  path:BYTES, urn:TEXT and none; \"-\" is the empty list.\n"
      "Each result is one JSON line on standard output.\n\n"
      "Exit status: 0 the driver was created (or the command answered), 1 `new` failed, 2 usage error,\n"
      "  3 the library could not be loaded or is damaged, 4 the lock command could not examine DEVICE.\n\n"
      "Installed plug-ins: %s\n"
      "See lmfs-host(1).\n",
      LMFS_VERSION, kUsage, kMaxThreads, operations_help().c_str(), LMFS_PLUGIN_DIR);
  return 0;
}

// A text from a library header as it is when it is printable UTF-8, else in
// its quoted, escaped Debug form.
std::string shown(std::string_view bytes) {
  const std::string quoted = text::debug_os_str(bytes);
  const bool plain = quoted.size() == bytes.size() + 2 && quoted.compare(1, bytes.size(), bytes) == 0;
  return plain ? std::string(bytes) : quoted;
}

// This host's version; with a plug-in, the version and names its library
// header states (read and checked, nothing in the library called).
int version(const char* path) {
  std::printf("lmfs-host %s (plug-in ABI %u.%u, storage-driver interface %s)\nplug-in folder: %s\n", LMFS_VERSION,
              abi::kAbiMajor, abi::kAbiMinor, kInterfaceVersion, LMFS_PLUGIN_DIR);
  if (path == nullptr) return 0;
  auto opened = open_header(path);
  if (!opened) {
    std::fprintf(stderr, "lmfs-host: %s\n", opened.error().message().c_str());
    return kExitLoad;
  }
  const abi::LibHeader& h = *opened->header;
  std::string lines = cat(path, ":\n");
  for (const auto& [label, field, what] : {std::tuple{"version:  ", &h.version, "version"},
                                           std::tuple{"base name:", &h.base_name, "base name"},
                                           std::tuple{"name:     ", &h.name, "name"}}) {
    auto text = header_text(*field, what);
    if (!text) {
      std::fprintf(stderr, "lmfs-host: %s: %s\n", path, text.error().c_str());
      return kExitLoad;
    }
    lines += cat("  ", label, " ", shown(*text), "\n");
  }
  const char* layout = h.layout_tag == abi::kLayoutIncluded ? "included"
                       : h.layout_tag == abi::kLayoutAbsent ? "not included"
                                                            : "unknown tag";
  lines += cat("  layout:    ", layout, "\n");
  std::fputs(lines.c_str(), stdout);
  return 0;
}

std::expected<std::string, std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Prints the layout graph `path`'s header states, without loading the
// library any further.
int print_layout(const std::string& path, bool full) {
  auto opened = open_header(path);
  if (!opened) {
    std::fprintf(stderr, "lmfs-host: %s\n", opened.error().message().c_str());
    return kExitLoad;
  }
  const abi::LibHeader& h = *opened->header;
  if (h.layout_tag != abi::kLayoutIncluded) {
    std::fprintf(stderr, "lmfs-host: %s does not include its type layout\n", path.c_str());
    return kExitLoad;
  }
  auto graph = abi::layout::read_graph(static_cast<const abi::tl::TypeLayout*>(h.layout));
  if (!graph) {
    std::fprintf(stderr, "lmfs-host: %s: its type layout cannot be read: %s\n", path.c_str(), graph.error().message().c_str());
    return kExitLoad;
  }
  std::fputs((full ? abi::layout::print_full(*graph) : abi::layout::print_facts(*graph)).c_str(), stdout);
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage("no plug-in given");
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    if (argc != 2) return usage("--help takes no arguments");
    return help();
  }
  if (first == "--version") {
    if (argc > 3) return usage("--version takes at most one plug-in");
    return version(argc == 3 ? argv[2] : nullptr);
  }
  if (first == "--lock-status" || first == "--release-lock") {
    if (argc != 3) return usage(first + " takes exactly one device");
    return first == "--lock-status" ? lock_status(argv[2]) : release_lock(argv[2]);
  }
  if (first == "--layout") {
    const bool full = argc == 4 && std::string_view(argv[2]) == "--full";
    if (argc != 3 && !full) return usage("--layout takes exactly one plug-in");
    return print_layout(argv[argc - 1], full);
  }
  const std::string plugin_path = argv[1];
  std::optional<std::string> params;
  std::vector<std::string> words;
  bool echo = false;
  bool resources = false;
  unsigned threads = 1;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--echo") {
      echo = true;
    } else if (arg == "--resources") {
      resources = true;
    } else if (arg == "--threads") {
      if (i + 1 >= argc) return usage("--threads needs a number");
      const auto n = text::whole_number<unsigned>(argv[++i]);
      if (!n || *n < 1 || *n > kMaxThreads) return usage(cat("--threads takes a number from 1 to ", kMaxThreads));
      threads = *n;
    } else if (arg == "--params" || arg == "--params-file" || arg == "--script") {
      if (i + 1 >= argc) return usage(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--params") {
        params = value;
      } else {
        auto text = read_file(value);
        if (!text) return usage(text.error());
        if (arg == "--params-file") {
          params = *text;
        } else {
          auto script_words = split_script(*text);
          words.insert(words.end(), script_words.begin(), script_words.end());
        }
      }
    } else {
      words.push_back(arg);
    }
  }
  if (!params) return usage("no parameters given (--params or --params-file)");
  auto ops = parse_ops(words);
  if (!ops) return usage(ops.error());

  auto plugin = load_plugin(plugin_path);
  if (!plugin) {
    std::fprintf(stderr, "lmfs-host: %s\n", plugin.error().message().c_str());
    return kExitLoad;
  }
  auto created = Driver::create(*plugin, *params);
  if (!created) {
    std::fprintf(stderr, "lmfs-host: %s: %s\n", plugin_path.c_str(), created.error().c_str());
    return kExitLoad;
  }
  Driver& driver = *created;
  std::fputs((driver.result_line + "\n").c_str(), stdout);
  std::fflush(stdout);
  if (!driver.object) return kExitNewFailed;
  run_script(*driver.object, *ops, {echo, threads, resources});
  return 0;
}

}  // namespace
}  // namespace lmfs::host

int main(int argc, char** argv) { return lmfs::host::run(argc, argv); }
