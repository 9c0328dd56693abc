// The table of operations against what is written about it elsewhere: the
// manual page's OPERATIONS table and its account of --threads, the --help
// paragraph made from it, and the usage errors parse_ops makes from it.
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runner.h"
#include "script.h"

namespace lmfs::host {
namespace {

std::string man_page() {
  std::ifstream in(LMFS_HOST_MAN_PAGE);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The cells of the first table under the level-one heading `heading`, header
// row included. A row starts with "[" or "|", a further cell with ":", each
// followed by its alignment character; a line starting with a blank goes on
// with the cell before it.
std::vector<std::vector<std::string>> man_table(const std::string& heading) {
  const std::vector<std::string> lines = lines_of(man_page());
  auto at = std::find(lines.begin(), lines.end(), heading);
  EXPECT_NE(at, lines.end()) << "no \"" << heading << "\" in " << LMFS_HOST_MAN_PAGE;
  std::vector<std::vector<std::string>> rows;
  for (bool in_table = false; at != lines.end(); ++at) {
    const std::string& line = *at;
    if (line.starts_with("# ") && line != heading) break;
    if (!in_table) {
      in_table = line.starts_with("[[");
      if (!in_table) continue;
    }
    if (line.empty()) break;
    if (line[0] == '[' || line[0] == '|') {
      rows.push_back({trimmed(line.substr(2))});
    } else if (line[0] == ':') {
      rows.back().push_back(trimmed(line.substr(2)));
    } else {
      rows.back().back() += " " + trimmed(line);
    }
  }
  return rows;
}

// A cell's text without its emphasis marks (_PATH_, *true*).
std::string plain(std::string cell) {
  std::erase_if(cell, [](char c) { return c == '_' || c == '*'; });
  return cell;
}

// "name ARGS" for each row of the table.
std::vector<std::string> table_rows() {
  std::vector<std::string> rows;
  for (const Operation& operation : operations()) {
    const std::string args = argument_names(operation);
    rows.push_back(std::string(operation.name) + (args.empty() ? "" : " " + args));
  }
  return rows;
}

TEST(OperationTable, ManPageListsTheSameOperationsInOrderWithTheirArguments) {
  const auto cells = man_table("# OPERATIONS");
  ASSERT_FALSE(cells.empty());
  EXPECT_EQ(cells[0], (std::vector<std::string>{"*Operation*", "*Arguments*", "*Result*"}));
  std::vector<std::string> listed;
  for (std::size_t i = 1; i < cells.size(); ++i) {
    ASSERT_EQ(cells[i].size(), 3U) << "row " << i << " of the manual's OPERATIONS table";
    const std::string args = plain(cells[i][1]);
    listed.push_back(cells[i][0] + (args.empty() ? "" : " " + args));
  }
  EXPECT_EQ(listed, table_rows());
}

// The manual's account of --threads names the operations that change the
// driver; the others are the shared ones.
TEST(OperationTable, ManPageNamesTheExclusiveOperationsUnderThreads) {
  std::string text = man_page();
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::erase(text, '\t');
  const std::string lead = "An operation that changes the driver (";
  const auto start = text.find(lead);
  ASSERT_NE(start, std::string::npos) << "the manual's --threads no longer says \"" << lead << "\"";
  const auto end = text.find(')', start);
  std::set<std::string> named;
  std::istringstream words(text.substr(start + lead.size(), end - start - lead.size()));
  for (std::string word; words >> word;) {
    std::erase(word, ',');
    if (word.size() > 2 && word.front() == '*' && word.back() == '*') named.insert(word.substr(1, word.size() - 2));
  }

  std::set<std::string> exclusive;
  for (const Operation& operation : operations()) {
    const Op op{std::string(operation.name), {}};
    EXPECT_EQ(takes_shared_access(op), operation.access == Access::Shared) << operation.name;
    if (operation.access == Access::Exclusive) exclusive.insert(std::string(operation.name));
  }
  EXPECT_EQ(named, exclusive);
  EXPECT_FALSE(takes_shared_access(Op{"no_such_operation", {}}));
}

// The paragraph reads back as the table, each operation whole on one line.
TEST(OperationTable, HelpListsEveryOperationWholeInLinesOfAtMost99Columns) {
  const std::string help = operations_help();
  ASSERT_TRUE(help.starts_with("Operations: ")) << help;
  ASSERT_TRUE(help.ends_with(".\n")) << help;
  std::string joined;
  for (const std::string& line : lines_of(help)) {
    EXPECT_LE(line.size(), 99U) << line;
    EXPECT_FALSE(line.ends_with(" ")) << line;
    joined += (joined.empty() ? "" : " ") + trimmed(line);
  }
  joined = joined.substr(std::string("Operations: ").size());
  joined.pop_back();  // the full stop
  std::vector<std::string> listed;
  for (std::size_t start = 0;;) {
    const std::size_t comma = joined.find(", ", start);
    listed.push_back(joined.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  EXPECT_EQ(listed, table_rows());
}

TEST(OperationScript, ParsesArgumentsByTheirRows) {
  auto ops = parse_ops({"init", "attach_stores", "/m%20n", "block:/dev/x,none", "snapshot", "/p", "false", "debug"});
  ASSERT_TRUE(ops) << ops.error();
  ASSERT_EQ(ops->size(), 4U);
  EXPECT_EQ((*ops)[0].name, "init");
  EXPECT_TRUE((*ops)[0].args.empty());
  EXPECT_EQ((*ops)[1].args, (std::vector<std::string>{"/m n", "block:/dev/x,none"}));
  EXPECT_EQ((*ops)[2].args, (std::vector<std::string>{"/p", "false"}));
  EXPECT_EQ((*ops)[3].name, "debug");
}

// The usage errors of a script, word for word: they are what an operator
// reads.
TEST(OperationScript, UsageErrorsSayWhatIsWrong) {
  const struct {
    std::vector<std::string> words;
    std::string error;
  } cases[] = {
      {{"bogus"}, "unknown operation \"bogus\""},
      {{"init", "INIT"}, "unknown operation \"INIT\""},
      {{"new"}, "unknown operation \"new\""},
      {{"at_root"}, "at_root needs 1 argument(s)"},
      {{"attach_stores", "/m"}, "attach_stores needs 2 argument(s)"},
      {{"snapshot"}, "snapshot needs 2 argument(s)"},
      // An argument is decoded before the next one is looked for.
      {{"snapshot", "%ZZ"}, "bad %XX escape in \"%ZZ\""},
      {{"snapshot", "/p", "%2"}, "bad %XX escape in \"%2\""},
      {{"snapshot", "/p", "yes"}, "snapshot takes true or false as its second argument"},
      {{"snapshot", "/p", "%74rue", "snapshot", "/p", "True"}, "snapshot takes true or false as its second argument"},
      {{"initialize_stores", "disk:/dev/x"}, "bad medium \"disk:/dev/x\" (block:NAME, path:BYTES, urn:TEXT or none)"},
      {{"attach_stores", "/m", "block:/dev/x,"}, "bad medium \"\" (block:NAME, path:BYTES, urn:TEXT or none)"},
      // Every word is checked before anything runs.
      {{"init", "done", "attach_stores", "/m", "bogus"},
       "bad medium \"bogus\" (block:NAME, path:BYTES, urn:TEXT or none)"},
  };
  for (const auto& c : cases) {
    auto ops = parse_ops(c.words);
    ASSERT_FALSE(ops) << c.error;
    EXPECT_EQ(ops.error(), c.error);
  }
}

}  // namespace
}  // namespace lmfs::host
