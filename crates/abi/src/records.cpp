#include "lmfs_abi/records.h"

#include <atomic>
#include <cstdio>

namespace lmfs::abi {

std::atomic<std::size_t> internal::executable_identity{0};


namespace internal {

void out_of_memory() {
  std::fputs("lmfs: out of memory\n", stderr);
  std::abort();
}

}  // namespace internal

RVec<std::uint8_t> own_bytes(std::string_view bytes) {
  RVec<std::uint8_t> v = own_unwritten_bytes(bytes.size());
  if (!bytes.empty()) std::memcpy(v.buffer, bytes.data(), bytes.size());
  return v;
}

RString own_string(std::string_view s) { return RString{own_bytes(s)}; }

void append(RString& s, std::string_view bytes) {
  if (bytes.empty()) return;
  RVec<std::uint8_t>& v = s.inner;
  if (v.capacity - v.length < bytes.size()) v.vtable.get().grow_capacity_to(&v, v.length + bytes.size(), Exactness::Above);
  std::memcpy(v.buffer + v.length, bytes.data(), bytes.size());
  v.length += bytes.size();
}

}  // namespace lmfs::abi
