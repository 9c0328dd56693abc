#include "store_support.h"

#include <cstdio>

namespace lmfs::store_test {

FakeTools::FakeTools() {
  for (const char* tool : {"mkfs.loomfs", "mount.loomfs", "umount.loomfs"}) {
    tools_.emplace(tool, lmfs::testing::FakeTool(dir_, tool));
  }
}

void FakeTools::act(const std::string& tool, const std::vector<std::string>& actions) const {
  tools_.at(tool).act(actions);
}

std::vector<ToolRun> FakeTools::runs(const std::string& tool) const { return tools_.at(tool).runs(); }

namespace json {

std::string escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string ok(const std::string& op) { return R"({"op":")" + op + R"(","result":"Ok"})"; }

std::string other(const std::string& op, const std::string& text) {
  return R"({"op":")" + op + R"(","result":"Err","error":{"variant":"Other","text":")" + escape(text) + "\"}}";
}

std::string media_error(const std::string& op, const std::string& cow, const std::string& text) {
  return R"({"op":")" + op + R"(","result":"Err","error":{"variant":"InvalidMediaType","cow":")" + cow +
         R"(","text":")" + escape(text) + "\"}}";
}

std::string no_store(const std::string& op) { return media_error(op, "Borrowed", "<none>"); }

std::string mount_point(const std::string& value) {
  return R"({"op":"detach_stores","result":"Err","error":{"variant":"InvalidParameterValue","name":"mount-point","value":")" +
         escape(value) + "\"}}";
}

std::string stores(const std::string& device) {
  return R"({"op":"stores","result":"Ok","media":[{"kind":"Block","value":")" + escape(device) + "\"}]}";
}

std::string root(const std::string& path) {
  return R"({"op":"root","result":"Some","path":")" + escape(path) + "\"}";
}

}  // namespace json

namespace trace {

constexpr const char* kAt = "[crates/drivers/loomfs-driver/src/manager:";

std::string select_block(const std::string& quoted) {
  return std::string(kAt) + "62:9] stores = StorageMedia {\n" +
         "    inner: [\n"
         "        Block(\n"
         "            ROsString {\n"
         "                inner: \"" + quoted + "\",\n"
         "            },\n"
         "        ),\n"
         "    ],\n"
         "}\n" +
         kAt + "77:9] &device = ROsString {\n" +
         "    inner: \"" + quoted + "\",\n"
         "}\n";
}

std::string mount(const std::string& quoted_root, const std::string& quoted_store) {
  return std::string(kAt) + "120:9] root = \"" + quoted_root + "\"\n" + kAt + "121:9] &self.store = " +
         (quoted_store.empty() ? std::string("None") : "Some(\n    \"" + quoted_store + "\",\n)") + "\n";
}

}  // namespace trace

std::string params(const std::string& bin_dir) {
  return R"({"bin_dir":")" + json::escape(bin_dir) + R"(","media":{"inner":[]},"root":"/"})";
}

}  // namespace lmfs::store_test
