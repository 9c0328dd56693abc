// The two printed forms of a layout graph: the facts form (one `## N.` section
// per reachable type in breadth-first order, the form of the interface's
// shared layout facts) and the framework's own full printout, the alternate
// Debug of the root TypeLayout with its map of nested type layouts.
#pragma once

#include <string>

#include "lmfs_abi_host/layout_graph.h"

namespace lmfs::abi::layout {

[[nodiscard]] std::string print_facts(const Graph& g);

// As the framework prints `{:#?}` of the root's TypeLayout, with every
// address (type identities, layout functions) as this process sees it.
[[nodiscard]] std::string print_full(const Graph& g);

}  // namespace lmfs::abi::layout
