// Mount lookup by device on tables of 100, 1,000 and 10,000 lines, the wanted
// mount last: the library in this process, the library in a process of its
// own, and util-linux `findmnt --tab-file TABLE --source DEV`.  Ends with the
// ratios of the three.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "lmfs_testing/process.h"
#include "loomfs_internal.h"

namespace {

const int kSizes[] = {100, 1000, 10000};

struct Scratch {
  std::string dir, device;
  std::map<int, std::string> tables;

  Scratch() {
    char tmpl[] = "/tmp/loomfs-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    device = dir + "/target.img";
    std::ofstream(device) << "image";
    for (int n : kSizes) tables[n] = Write(n);
  }
  ~Scratch() { std::filesystem::remove_all(dir); }

  // A table in the kernel's format, mixed like a busy host's: tmpfs and
  // container overlays with long option fields, block devices, other loomfs
  // mounts; the wanted mount comes last.
  std::string Write(int lines) {
    std::string path = dir + "/mounts-" + std::to_string(lines);
    std::ofstream out(path);
    char hex[65];
    for (int i = 0; i < lines - 1; ++i) {
      switch (i % 10) {
        case 0: case 1: case 2:
          out << "tmpfs /run/user/" << i << " tmpfs rw,nosuid,nodev,relatime,size=1638400k,mode=700 0 0\n";
          break;
        case 3: case 4: case 5: {
          std::snprintf(hex, sizeof hex, "%064x", i * 2654435761u);
          out << "overlay /var/lib/docker/overlay2/" << hex << "/merged overlay rw,relatime,lowerdir=/var/lib/docker/overlay2/l/"
              << hex + 38 << ":/var/lib/docker/overlay2/l/" << hex + 40 << ",upperdir=/var/lib/docker/overlay2/" << hex
              << "/diff,workdir=/var/lib/docker/overlay2/" << hex << "/work 0 0\n";
          break;
        }
        case 6: case 7: case 8:
          out << "/dev/vd" << char('b' + i % 20) << i << " /srv/data" << i << " ext4 rw,relatime 0 0\n";
          break;
        default:
          out << dir << "/other" << i << ".img /mnt/loomfs" << i << " loomfs rw,relatime 0 0\n";
      }
    }
    out << device << " /mnt/target loomfs rw,relatime 0 0\n";
    return path;
  }
};

Scratch& Files() {
  static Scratch s;
  return s;
}

// Runs argv with its output on /dev/null; returns the exit status.
int Spawn(const std::vector<std::string>& args) {
  return lmfs::testing::run(args, {.output = lmfs::testing::Output::discard}).exit_status;
}

void BM_Library(benchmark::State& state) {
  const std::string& table = Files().tables.at(static_cast<int>(state.range(0)));
  const std::string& device = Files().device;
  for (auto _ : state) {
    const lmfs::base::UniqueFile f(std::fopen(table.c_str(), "re"));
    loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
    if (!f || loomfs_find_fs_in(&fs, f.get(), device.c_str(), nullptr, "rw") != 0) {
      state.SkipWithError("lookup failed");
      break;
    }
    std::free(fs.n_devpath);
    std::free(fs.n_mntdir);
  }
}

void BM_LibraryProcess(benchmark::State& state) {
  const std::string& table = Files().tables.at(static_cast<int>(state.range(0)));
  for (auto _ : state)
    if (Spawn({LOOKUP_ONCE_PATH, table, Files().device}) != 0) {
      state.SkipWithError("lookup_once failed");
      break;
    }
}

void BM_Findmnt(benchmark::State& state) {
  const std::string& table = Files().tables.at(static_cast<int>(state.range(0)));
  for (auto _ : state)
    if (Spawn({"findmnt", "--tab-file", table, "--source", Files().device}) != 0) {
      state.SkipWithError("findmnt failed");
      break;
    }
}

BENCHMARK(BM_Library)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibraryProcess)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Findmnt)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration (microseconds) for the closing table.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  std::printf("\n%8s %14s %16s %14s %18s %18s\n", "lines", "library us", "lib process us", "findmnt us",
              "findmnt/library", "findmnt/process");
  for (int n : kSizes) {
    auto at = [&](const char* name) {
      auto it = collector.times.find(std::string(name) + "/" + std::to_string(n));
      return it == collector.times.end() ? 0.0 : it->second;
    };
    double lib = at("BM_Library"), proc = at("BM_LibraryProcess"), fm = at("BM_Findmnt");
    std::printf("%8d %14.1f %16.1f %14.1f %18.1f %18.2f\n", n, lib, proc, fm, lib > 0 ? fm / lib : 0.0,
                proc > 0 ? fm / proc : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
