// The loaded objects' segments as dl_iterate_phdr lists them, and lookups of
// extents in them.
#include "lmfs_abi_host/mapped_memory.h"

#include <link.h>

#include <algorithm>
#include <limits>
#include <new>

#include "lmfs_abi/records.h"
#include "lmfs_text/strcat.h"

namespace lmfs::abi {

using text::cat;
using text::hex;
namespace {

constexpr std::uintptr_t kTop = std::numeric_limits<std::uintptr_t>::max();

struct Segment {
  std::uintptr_t begin;
  std::size_t bytes;
  std::uint8_t access;
};
struct Collected {
  std::vector<Segment> loaded;
  std::vector<Segment> relro;
  bool out_of_memory = false;
};

int collect(dl_phdr_info* info, std::size_t, void* data) noexcept {
  auto& c = *static_cast<Collected*>(data);
  try {
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr)& ph = info->dlpi_phdr[i];
      if (ph.p_memsz == 0) continue;
      const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
      if (ph.p_type == PT_GNU_RELRO) c.relro.push_back({begin, ph.p_memsz, MappedMemory::kRead});
      if (ph.p_type != PT_LOAD) continue;
      std::uint8_t access = 0;
      if ((ph.p_flags & PF_R) != 0) access |= MappedMemory::kRead;
      if ((ph.p_flags & PF_W) != 0) access |= MappedMemory::kWrite;
      if ((ph.p_flags & PF_X) != 0) access |= MappedMemory::kExec;
      c.loaded.push_back({begin, ph.p_memsz, access});
    }
  } catch (const std::bad_alloc&) {
    c.out_of_memory = true;  // never unwound through the C library
    return 1;
  }
  return 0;
}

// [p, p + bytes) as addresses; false when it wraps around.
bool extent(std::uintptr_t p, std::size_t bytes, std::uintptr_t& end) {
  if (bytes > kTop - p) return false;
  end = p + bytes;
  return true;
}

}  // namespace

MappedMemory MappedMemory::loaded_objects() {
  Collected c;
  ::dl_iterate_phdr(&collect, &c);
  if (c.out_of_memory) internal::out_of_memory();
  MappedMemory m;
  for (const Segment& s : c.loaded) {
    std::uintptr_t end = 0;
    if (extent(s.begin, s.bytes, end)) m.ranges_.push_back({s.begin, end, s.access});
  }
  for (const Segment& s : c.relro) {
    std::uintptr_t end = 0;
    if (extent(s.begin, s.bytes, end)) m.relro_.push_back({s.begin, end, s.access});
  }
  m.sort();
  return m;
}

MappedMemory MappedMemory::everything() {
  MappedMemory m;
  m.everything_ = true;
  return m;
}

MappedMemory& MappedMemory::add(const void* begin, std::size_t bytes, std::uint8_t access) {
  const auto b = reinterpret_cast<std::uintptr_t>(begin);
  std::uintptr_t end = 0;
  if (bytes == 0 || !extent(b, bytes, end)) return *this;
  ranges_.push_back({b, end, access});
  sort();
  return *this;
}

void MappedMemory::sort() {
  std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  reach_.resize(ranges_.size());
  std::uintptr_t furthest = 0;
  for (std::size_t i = 0; i < ranges_.size(); ++i) reach_[i] = furthest = std::max(furthest, ranges_[i].end);
}

// The range of `access` holding all of [p, p + bytes), if any. Ranges may
// overlap: from the last one beginning at or before p, back to where none
// before reaches past p.
const MappedMemory::Range* MappedMemory::find(std::uintptr_t p, std::size_t bytes, std::uint8_t access) const {
  std::uintptr_t end = 0;
  if (p == 0 || !extent(p, bytes, end)) return nullptr;
  const auto after = [](std::uintptr_t a, const Range& r) { return a < r.begin; };
  auto i = static_cast<std::size_t>(std::upper_bound(ranges_.begin(), ranges_.end(), p, after) - ranges_.begin());
  while (i > 0 && reach_[i - 1] > p) {
    const Range& r = ranges_[--i];
    if ((r.access & access) == access && p >= r.begin && end <= r.end) return &r;
  }
  return nullptr;
}

bool MappedMemory::contains(const void* p, std::size_t bytes) const {
  if (bytes == 0) return true;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (everything_) {
    std::uintptr_t end = 0;
    return a != 0 && extent(a, bytes, end);
  }
  return find(a, bytes, kRead) != nullptr;
}

bool MappedMemory::contains(const void* p, std::size_t count, std::size_t size) const {
  if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return false;
  return contains(p, count * size);
}

bool MappedMemory::writable(const void* p, std::size_t bytes) const {
  if (bytes == 0) return true;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (everything_) return contains(p, bytes);
  if (find(a, bytes, kRead | kWrite) == nullptr) return false;
  const std::uintptr_t end = a + bytes;  // find() checked it does not wrap
  return std::none_of(relro_.begin(), relro_.end(), [&](const Range& r) { return a < r.end && r.begin < end; });
}

bool MappedMemory::executable_at(std::uintptr_t p) const {
  if (everything_) return p != 0;
  return find(p, 1, kExec) != nullptr;
}

std::size_t MappedMemory::readable_from(const void* p) const {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (a == 0) return 0;
  if (everything_) return kTop - a;
  const Range* r = find(a, 1, kRead);
  return r == nullptr ? 0 : r->end - a;
}

std::string outside_readable(const void* p, std::size_t bytes) {
  return cat("outside the readable segments (", bytes, bytes == 1 ? " byte" : " bytes", " at ",
             hex(reinterpret_cast<std::uintptr_t>(p)), ")");
}

std::string outside_writable(const void* p, std::size_t bytes) {
  return cat("outside the writable segments (", bytes, bytes == 1 ? " byte" : " bytes", " at ",
             hex(reinterpret_cast<std::uintptr_t>(p)), ")");
}

std::string outside_executable(const void* code) {
  return cat("outside the executable segments (at ", hex(reinterpret_cast<std::uintptr_t>(code)), ")");
}

}  // namespace lmfs::abi
