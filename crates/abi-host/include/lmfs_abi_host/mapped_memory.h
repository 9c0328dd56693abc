// Where a host may read, write or call: a snapshot of the loaded objects'
// segments (or ranges a test names). Every pointer a library's header or
// layout graph holds is checked against one before it is followed, and the
// whole extent read must lie inside one segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace lmfs::abi {

class MappedMemory {
 public:
  enum Access : std::uint8_t { kRead = 1, kWrite = 2, kExec = 4 };

  // The PT_LOAD segments of every object loaded now, with the access their
  // program headers give (writable less their PT_GNU_RELRO part).
  [[nodiscard]] static MappedMemory loaded_objects();
  // Every address but null: for records the caller made itself.
  [[nodiscard]] static MappedMemory everything();
  // No memory at all; add() names what is.
  MappedMemory() = default;
  // One more range of `access`; ranges added are never merged, so an extent
  // straddling two of them is refused.
  MappedMemory& add(const void* begin, std::size_t bytes, std::uint8_t access);

  // The `bytes` from `p` lie inside one readable range (zero bytes always do).
  [[nodiscard]] bool contains(const void* p, std::size_t bytes) const;
  // `count` elements of `size` bytes from `p`, the product overflow-checked.
  [[nodiscard]] bool contains(const void* p, std::size_t count, std::size_t size) const;
  // The same for a write: a writable range outside every RELRO part.
  [[nodiscard]] bool writable(const void* p, std::size_t bytes) const;
  // Code the host may call lies in an executable range.
  [[nodiscard]] bool executable(const void* code) const {
    return executable_at(reinterpret_cast<std::uintptr_t>(code));
  }
  template <class F>
    requires std::is_function_v<F>
  [[nodiscard]] bool executable(F* fn) const {
    return executable_at(reinterpret_cast<std::uintptr_t>(fn));
  }
  // The readable bytes from `p` to the end of its range; 0 when `p` is not
  // readable. What bounds a NUL-terminated text.
  [[nodiscard]] std::size_t readable_from(const void* p) const;

 private:
  struct Range {
    std::uintptr_t begin;
    std::uintptr_t end;  // one past the last byte
    std::uint8_t access;
  };
  [[nodiscard]] const Range* find(std::uintptr_t p, std::size_t bytes, std::uint8_t access) const;
  [[nodiscard]] bool executable_at(std::uintptr_t p) const;
  void sort();

  std::vector<Range> ranges_;          // by begin
  std::vector<std::uintptr_t> reach_;  // reach_[i]: the furthest end among ranges_[0..i]
  std::vector<Range> relro_;           // read-only once relocated
  bool everything_ = false;
};

// The tails of refusals: "outside the readable segments (24 bytes at 0x…)",
// "outside the executable segments (at 0x…)".
[[nodiscard]] std::string outside_readable(const void* p, std::size_t bytes);
[[nodiscard]] std::string outside_writable(const void* p, std::size_t bytes);
[[nodiscard]] std::string outside_executable(const void* code);
template <class F>
  requires std::is_function_v<F>
[[nodiscard]] std::string outside_executable(F* fn) {
  return outside_executable(reinterpret_cast<const void*>(fn));
}

}  // namespace lmfs::abi
