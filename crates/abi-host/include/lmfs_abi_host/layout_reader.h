// Reading a library's type-layout records into the value model of
// layout_graph.h, as a host does before it trusts anything the library
// states. Every pointer, range, index, length and enumeration value is
// checked before use; the graph is limited to kMaxNodes types and its texts to
// fixed lengths, so no record can make the reader crash or run away.
#pragma once

#include <expected>
#include <string>

#include "lmfs_abi_host/layout_error.h"
#include "lmfs_abi_host/layout_graph.h"
#include "lmfs_abi_host/mapped_memory.h"

namespace lmfs::abi::layout {

// Reads the graph reachable from `root`, following only pointers whose whole
// extent `memory` holds and calling only functions it holds as code. The
// error names the type being read and what about its records is malformed (a
// null pointer, a pointer outside `memory`, a range outside its table, an
// unknown enumeration value, too many types).
[[nodiscard]] std::expected<Graph, LayoutError> read_graph(const tl::TypeLayout* root, const MappedMemory& memory);
// The same within the segments of the objects loaded now.
[[nodiscard]] std::expected<Graph, LayoutError> read_graph(const tl::TypeLayout* root);

}  // namespace lmfs::abi::layout
