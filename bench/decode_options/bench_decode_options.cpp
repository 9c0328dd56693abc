// decode_options, the work of `new` before the driver object is built, on
// three texts: the parameters a host typically passes, a media list of 10,000
// entries of every kind, and a value nested 100,000 levels deep under an
// unknown key (which the decoder must skip without recursing). compare.sh
// runs it against the decoder of an earlier commit as well.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "loomfs_driver/options.h"

namespace {

constexpr std::string_view kTail = R"("bin_dir":"/usr/sbin","root":"/mnt/loom"})";

std::string typical() {
  return R"({"flags":"-o noatime,compress=zstd","bin_dir":"/usr/sbin",)"
         R"("media":{"inner":[{"Block":{"inner":"/dev/sdb"}},{"Block":{"inner":"/dev/sdc"}}]},)"
         R"("root":"/mnt/loom"})";
}

std::string long_media_list() {
  std::string s = R"({"media":{"inner":[)";
  for (int i = 0; i < 10'000; ++i) {
    if (i > 0) s += ',';
    switch (i % 4) {
      case 0: s += R"({"Block":{"inner":"/dev/disk/by-id/wwn-0x5000c500a1b2c3d4"}})"; break;
      case 1: s += R"({"Path":{"inner":[47,118,97,114,47,108,111,111,109]}})"; break;
      case 2: s += R"({"URN":"urn:loom:store:\u00e9t\u00e9"})"; break;
      default: s += R"("None")"; break;
    }
  }
  s += "]},";
  s += kTail;
  return s;
}

std::string deep_unknown_value() {
  constexpr std::size_t kDepth = 100'000;
  std::string s = R"({"extra":)";
  s.append(kDepth, '[');
  s.append(kDepth, ']');
  s += R"(,"media":{"inner":[]},)";
  s += kTail;
  return s;
}

void Decode(benchmark::State& state, const std::string& text) {
  if (!lmfs::loomfs::decode_options(text)) std::abort();
  for (auto _ : state) {
    auto result = lmfs::loomfs::decode_options(text);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK_CAPTURE(Decode, typical, typical());
BENCHMARK_CAPTURE(Decode, media_10000, long_media_list());
BENCHMARK_CAPTURE(Decode, deep_100000, deep_unknown_value());

}  // namespace

BENCHMARK_MAIN();
