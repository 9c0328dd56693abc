// The library header's parts that both sides of a load share: the C-ABI
// self-test, the header lock and the root module constructor's answer.
#include "lmfs_abi/library.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "lmfs_text/strcat.h"

namespace lmfs::abi {

using text::cat;
using text::hex;
namespace {

// ---- the self-test functions: the framework's pairs, triples and units ----
//
// Everything a host runs while it checks and opens the library is marked hot:
// the linker puts it beside the static initialisers the loader has just run,
// so the checks touch no page of code of their own.

[[gnu::hot]] std::uint32_t take_pair_a(U16x1 p) noexcept { return p.a; }
[[gnu::hot]] std::uint32_t take_pair_b(U16x1 p) noexcept { return static_cast<std::uint32_t>(p.a) << 16; }
[[gnu::hot]] U16x1 ret_pair_a(std::uint32_t n) noexcept { return {static_cast<std::uint16_t>(n)}; }
[[gnu::hot]] U16x1 ret_pair_b(std::uint32_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16)}; }
[[gnu::hot]] std::uint64_t take_triple_a(U16x2 t) noexcept { return (std::uint64_t{t.a} << 16) + (std::uint64_t{t.b} << 32); }
[[gnu::hot]] std::uint64_t take_triple_b(U16x2 t) noexcept { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 32); }
[[gnu::hot]] std::uint64_t take_triple_c(U16x2 t) noexcept { return std::uint64_t{t.a} + (std::uint64_t{t.b} << 16); }
[[gnu::hot]] U16x2 ret_triple_a(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 32)}; }
[[gnu::hot]] U16x2 ret_triple_b(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
[[gnu::hot]] U16x2 ret_triple_c(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 16)}; }
[[gnu::hot]] std::uint64_t take_2_pairs_a(U16x1 a, U16x1 b) noexcept { return (std::uint64_t{a.a} << 16) + (std::uint64_t{b.a} << 48); }
[[gnu::hot]] std::uint64_t take_2_pairs_b(U16x1 a, U16x1 b) noexcept { return std::uint64_t{a.a} + (std::uint64_t{b.a} << 32); }
[[gnu::hot]] U16x2 ret_2_pairs_a(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n >> 16), static_cast<std::uint16_t>(n >> 48)}; }
[[gnu::hot]] U16x2 ret_2_pairs_b(std::uint64_t n) noexcept { return {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 32)}; }
[[gnu::hot]] std::uint64_t mixed_units(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) noexcept {
  return std::uint64_t{a} | (std::uint64_t{b} << 16) | (std::uint64_t{c} << 32) | (std::uint64_t{d} << 48);
}

}  // namespace

const CAbiTestingFns kCAbiTestingFns = {
    take_pair_a,   take_pair_b,   ret_pair_a,     ret_pair_b,     take_triple_a,
    take_triple_b, take_triple_c, ret_triple_a,   ret_triple_b,   ret_triple_c,
    take_2_pairs_a, take_2_pairs_b, ret_2_pairs_a, ret_2_pairs_b, mixed_units,
};

[[gnu::hot]] void init_globals_with(const void*) noexcept {}

namespace {

std::atomic_ref<std::uint64_t> lock_word(const RawMutexState* s) {
  return std::atomic_ref<std::uint64_t>(const_cast<RawMutexState*>(s)->word);
}
[[gnu::hot]] bool mutex_try_lock(const RawMutexState* s) noexcept {
  std::uint64_t expected = 0;
  return lock_word(s).compare_exchange_strong(expected, 1, std::memory_order_acquire);
}
// The header lock is taken once per load of the library, around the root
// module's constructor: contention is rare and short. A waiter yields a few
// times, then naps, instead of parking on the word (which would bring in the
// C++ library's waiter pool, its mutexes and their exceptions).
void wait_a_moment(unsigned& round) noexcept {
  if (round++ < 16) {
    sched_yield();
  } else {
    const timespec nap{0, 50'000};
    nanosleep(&nap, nullptr);
  }
}
[[gnu::hot]] void mutex_lock(const RawMutexState* s) noexcept {
  for (unsigned round = 0; !mutex_try_lock(s);) wait_a_moment(round);
}
[[gnu::hot]] void mutex_unlock(const RawMutexState* s) noexcept { lock_word(s).store(0, std::memory_order_release); }
bool mutex_try_lock_for(const RawMutexState* s, RDuration timeout) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout.seconds) +
                        std::chrono::nanoseconds(timeout.subsec_nanos);
  for (unsigned round = 0; !mutex_try_lock(s);) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    wait_a_moment(round);
  }
  return true;
}

}  // namespace

const MutexVTable kHeaderMutexVTable = {{kMutexVTableMask, &tl::mutex_vtable_layout},
                                        {mutex_lock, mutex_try_lock, mutex_unlock, mutex_try_lock_for}};

[[gnu::hot]] RootModuleResult root_module_ok(const void* root_module) noexcept {
  RootModuleResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.tag = kROk;
  r.payload.ok = root_module;
  return r;
}

// ---- the host's round trips ------------------------------------------------

std::expected<void, std::string> run_c_abi_tests(const abi::CAbiTestingFns& f) {
  std::string failures;
  auto check = [&](const char* what, std::uint64_t expected, std::uint64_t found) {
    if (expected != found) failures += cat(what, ": expected ", hex(expected), ", found ", hex(found), "; ");
  };
  for (std::uint32_t n : {0x1u, 0x5u}) {
    const auto r = f.ret_pair_a(n);
    check("ret_pair_a", n & 0xFFFF, r.a);
    check("take_pair_a", n, f.take_pair_a(r));
  }
  for (std::uint32_t n : {0x1'0000u, 0x5'0000u}) {
    const auto r = f.ret_pair_b(n);
    check("ret_pair_b", n >> 16, r.a);
    check("take_pair_b", n, f.take_pair_b(r));
  }
  for (std::uint64_t n : {0x1'0001'0000ull, 0x1'0005'0000ull, 0x7'0001'0000ull, 0x7'0003'0000ull}) {
    const auto r = f.ret_triple_a(n);
    check("ret_triple_a", (n >> 16) & 0xFFFF, r.a);
    check("take_triple_a", n, f.take_triple_a(r));
  }
  for (std::uint64_t n : {0x1'0000'0001ull, 0x1'0000'0005ull, 0x7'0000'0001ull, 0x7'0000'0003ull}) {
    const auto r = f.ret_triple_b(n);
    check("ret_triple_b", n & 0xFFFF, r.a);
    check("take_triple_b", n, f.take_triple_b(r));
  }
  for (std::uint64_t n : {0x1'0001ull, 0x1'0005ull, 0x7'0001ull, 0x7'0003ull}) {
    const auto r = f.ret_triple_c(n);
    check("ret_triple_c", n & 0xFFFF, r.a);
    check("take_triple_c", n, f.take_triple_c(r));
  }
  for (std::uint64_t n : {0x1'0000'0005'0000ull, 0xF'0000'000A'0000ull}) {
    const auto r = f.ret_2_pairs_a(n);
    check("ret_2_pairs_a", (n >> 16) & 0xFFFF, r.a);
    check("take_2_pairs_a", n, f.take_2_pairs_a({r.a}, {r.b}));
  }
  for (std::uint64_t n : {0x0'0007'0000'0003ull, 0x0'0002'0000'000Bull}) {
    const auto r = f.ret_2_pairs_b(n);
    check("ret_2_pairs_b", n & 0xFFFF, r.a);
    check("take_2_pairs_b", n, f.take_2_pairs_b({r.a}, {r.b}));
  }
  for (std::uint64_t n : {0x0ull, 0x1ull, 0x2'0003ull, 0x4'0005'0006ull, 0x7'0008'0009'000Aull}) {
    check("mixed_units", n,
          f.mixed_units(static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n >> 16),
                        static_cast<std::uint16_t>(n >> 32), static_cast<std::uint16_t>(n >> 48)));
  }
  if (!failures.empty()) return std::unexpected("the library's C calling convention differs: " + failures);
  return {};
}

}  // namespace lmfs::abi
