// The interface's generated graph: closed, and every type with the identity
// the framework gives it.
#include "lmfs_interface/layouts.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

namespace lmfs::abi::tl {
namespace {

// Every layout reachable from the root has an identity of its own, of this
// binary, except UnsafeIgnoredType, which the framework gives the identity of
// (); and every table entry leads somewhere.
TEST(InterfaceLayouts, TheGraphIsClosedAndItsIdentitiesAreTheFrameworks) {
  const TypeLayout* root = layouts::root_module_layout();
  ASSERT_EQ(root, layout_of<RootModuleRef>());
  std::vector<const TypeLayout*> todo{root};
  std::set<const TypeLayout*> seen{root};
  std::map<std::vector<std::uint8_t>, std::vector<std::string_view>> names_by_id;
  while (!todo.empty()) {
    const TypeLayout* l = todo.back();
    todo.pop_back();
    const UTypeId id = l->type_id();
    EXPECT_EQ(id.executable_identity, own_type_id().executable_identity);
    names_by_id[std::vector<std::uint8_t>(std::begin(id.type_id_array), std::end(id.type_id_array))].push_back(
        std::string_view(l->mono->name, l->mono->name_len));
    for (std::size_t i = 0; i < l->shared_vars->type_layouts_len; ++i) {
      const TypeLayout* next = l->shared_vars->type_layouts[i]();
      ASSERT_NE(next, nullptr);
      if (seen.insert(next).second) todo.push_back(next);
    }
  }
  EXPECT_EQ(seen.size(), 95U);
  EXPECT_EQ(names_by_id.size(), 94U);
  const UTypeId unit = type_id_of<Unit>();
  const auto& shared = names_by_id[std::vector<std::uint8_t>(std::begin(unit.type_id_array), std::end(unit.type_id_array))];
  EXPECT_EQ(shared.size(), 2U);
  EXPECT_NE(std::find(shared.begin(), shared.end(), "UnsafeIgnoredType"), shared.end());
}

}  // namespace
}  // namespace lmfs::abi::tl
