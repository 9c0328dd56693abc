// The outside truth: what a host of the framework expects of this interface,
// taken from the framework's own output (the interface's test data). The
// graph each plug-in states and the graph lmfs-host expects are printed in
// both forms and held to it, every field's lifetime indices, accessors,
// tags, functions and the numbering of the nested types included; only the
// addresses, which belong to one process, are normalised.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "lmfs_abi_host/layout_check.h"
#include "lmfs_abi_host/layout_print.h"
#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_interface/layouts.h"
#include "loader.h"

namespace lmfs::host {
namespace {

namespace layout = abi::layout;

std::string read_data(const std::string& name) {
  std::ifstream in(std::string(LMFS_INTERFACE_DATA) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The framework's {:#?} printout with its addresses made comparable: each
// distinct address becomes its number in order of first appearance (so which
// entries share a function still shows), and a type identity's bytes one
// placeholder (the numbering of the nested types already tells them apart).
std::vector<std::string> normalised(const std::string& printout) {
  static const std::regex address("0x[0-9a-f]{16}");
  std::map<std::string, std::size_t> seen;
  std::vector<std::string> out;
  bool in_type_id = false;
  for (std::string line : lines_of(printout)) {
    if (in_type_id) {
      in_type_id = line.find(']') == std::string::npos;
      continue;
    }
    if (line.ends_with("type_id_array: [")) {
      out.push_back(line + " <type id> ],");
      in_type_id = true;
      continue;
    }
    std::string replaced;
    std::size_t last = 0;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), address); it != std::sregex_iterator(); ++it) {
      const auto [entry, fresh] = seen.emplace(it->str(), seen.size());
      replaced += line.substr(last, static_cast<std::size_t>(it->position()) - last);
      replaced += "<address " + std::to_string(entry->second) + ">";
      last = static_cast<std::size_t>(it->position() + it->length());
    }
    out.push_back(replaced + line.substr(last));
  }
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

// The Debug part of the framework's printout (the Display part follows it).
std::string framework_debug_printout() {
  const std::string text = read_data("expected-layout.txt");
  const std::size_t start = text.find('\n') + 1;  // after the title line
  const std::size_t end = text.find("\n==== ", start);
  return text.substr(start, end - start + 1);
}

void expect_same_lines(const std::vector<std::string>& expected, const std::vector<std::string>& found) {
  for (std::size_t i = 0; i < std::max(expected.size(), found.size()); ++i) {
    const std::string e = i < expected.size() ? expected[i] : "<no line>";
    const std::string f = i < found.size() ? found[i] : "<no line>";
    if (e != f) {
      std::string context;
      for (std::size_t k = i < 12 ? 0 : i - 12; k < i && k < expected.size(); ++k) context += "    " + expected[k] + "\n";
      ADD_FAILURE() << "line " << i + 1 << " differs\n" << context << "  expected: " << e << "\n  found:    " << f;
      return;
    }
  }
}

struct Section {
  std::string title;
  std::vector<std::string> lines;
};

// The `## N. ...` sections of a facts text, without trailing blank lines.
std::vector<Section> sections(const std::string& text) {
  std::vector<Section> out;
  for (const std::string& line : lines_of(text)) {
    if (line.starts_with("## ")) out.push_back({line, {}});
    if (!out.empty()) out.back().lines.push_back(line);
  }
  for (auto& s : out) {
    while (!s.lines.empty() && s.lines.back().empty()) s.lines.pop_back();
  }
  return out;
}

void expect_same_as_facts(const std::string& printed) {
  const auto expected = sections(read_data("layout-facts.md"));
  const auto found = sections(printed);
  ASSERT_EQ(expected.size(), 95u);
  EXPECT_EQ(found.size(), expected.size());
  for (std::size_t i = 0; i < std::min(expected.size(), found.size()); ++i) {
    SCOPED_TRACE(expected[i].title);
    expect_same_lines(expected[i].lines, found[i].lines);
  }
}

// The graph a library's header states.
layout::Graph stated_graph(const char* plugin) {
  auto opened = open_header(plugin);
  EXPECT_TRUE(opened) << opened.error().message();
  if (!opened) return {};
  EXPECT_EQ(opened->header->layout_tag, abi::kLayoutIncluded);
  auto graph = layout::read_graph(static_cast<const abi::tl::TypeLayout*>(opened->header->layout));
  EXPECT_TRUE(graph) << graph.error().message();
  return graph ? std::move(*graph) : layout::Graph{};
}

// The graph this host compares libraries with.
layout::Graph expected_graph() {
  auto graph = layout::read_graph(abi::layouts::root_module_layout());
  EXPECT_TRUE(graph) << graph.error().message();
  return graph ? std::move(*graph) : layout::Graph{};
}

struct Subject {
  const char* what;
  layout::Graph (*graph)();
};
const Subject kSubjects[] = {
    {"this host's expected graph", expected_graph},
    {"the loomfs plug-in", [] { return stated_graph(LMFS_PLUGIN_PATH); }},
    {"the null plug-in", [] { return stated_graph(LMFS_NULL_PLUGIN_PATH); }},
};

TEST(LayoutTruth, EveryGraphPrintsAsTheFrameworkPrintsTheExpectedOne) {
  const auto truth = normalised(framework_debug_printout());
  ASSERT_GT(truth.size(), 10000u);
  for (const Subject& s : kSubjects) {
    SCOPED_TRACE(s.what);
    const layout::Graph g = s.graph();
    expect_same_lines(truth, normalised(layout::print_full(g)));
  }
}

TEST(LayoutTruth, EveryGraphPrintsAsTheSharedFacts) {
  for (const Subject& s : kSubjects) {
    SCOPED_TRACE(s.what);
    const layout::Graph g = s.graph();
    EXPECT_EQ(g.reachable, 95u);
    expect_same_as_facts(layout::print_facts(g));
  }
}

TEST(LayoutTruth, ThisHostAcceptsBothPlugins) {
  const layout::Graph host = expected_graph();
  for (const Subject& s : kSubjects) {
    SCOPED_TRACE(s.what);
    const auto mismatches = layout::check_layout_compatibility(host, s.graph());
    EXPECT_TRUE(mismatches.empty()) << layout::mismatch_report(mismatches);
  }
}

}  // namespace
}  // namespace lmfs::host
