// The functions a host calls in the library while it checks the layout (here
// the formatters of the trait objects' extra check) end the process with the
// library's message when memory runs out: no exception unwinds into the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "lmfs_abi/required_traits.h"

namespace {
bool refuse_allocations = false;
}  // namespace

// This binary's operator new, which can be told to refuse, over malloc; its
// operator delete frees alike (also under a sanitizer that tells the two
// kinds of allocation apart).
void* operator new(std::size_t n) {
  if (refuse_allocations) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace lmfs::abi::tl {
namespace {

TEST(OutOfMemoryDeathTest, TraitFormattersEndTheProcessWithTheLibrarysMessage) {
  static constexpr RequiredTraits traits{0, kDebugTrait};
  static constexpr StoredExtraChecks checks = required_traits_checks(&traits);
  const RObjectVtableFields& object = static_cast<const ExtraChecksVTable*>(checks.vtable)->fields.sabi_vtable.get();
  for (auto format : {object._sabi_debug, object._sabi_display}) {
    RString out = own_string("");
    EXPECT_DEATH(
        {
          refuse_allocations = true;
          format(checks.ptr, FormattingMode::Default, &out);
        },
        "lmfs: out of memory");
    release(out);
  }
}

}  // namespace
}  // namespace lmfs::abi::tl
