// Fuzzes the mount lookup: the table text, the filters and the token.  Also
// canonicalises the table's first line into a buffer of a fuzzed size.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loomfs_internal.h"

namespace {

const char* const kNames[] = {nullptr,   "/",          "/dev/loop0", "/proc/self/../self",
                              "rel/name", "/nonexistent//x/", "/dev/./null", "tmpfs"};
const char* const kTokens[] = {"rw", "ro", "", "rw,ro"};

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void CheckField(const char* field, const std::string& text) {
  if (field == nullptr || field[0] == '\0' || text.find(field) == std::string::npos) abort();
  for (const char* p = field; *p != '\0'; ++p)
    if (IsWhite(*p)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t sel = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  FILE* table = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (table == nullptr) return 0;
  loomfs fs{nullptr, nullptr, nullptr, -1, -1, nullptr};
  errno = 0;
  int rc = loomfs_find_fs_in(&fs, table, kNames[sel & 7], kNames[(sel >> 3) & 7], kTokens[sel >> 6]);
  fclose(table);
  if (rc == 0) {
    CheckField(fs.n_devpath, text);
    CheckField(fs.n_mntdir, text);
  } else if (rc != -1 || errno != ENOENT) {
    abort();
  }
  free(fs.n_devpath);
  free(fs.n_mntdir);

  // The buffer is exactly `room` bytes so that any write past it is caught.
  const std::string first = text.substr(0, text.find('\n')).c_str();
  const int room = 2 + sel % 97;
  std::vector<char> out(static_cast<size_t>(room));
  const char* canon = loomfs_canon_path(first.c_str(), out.data(), room);
  if (canon != nullptr && (canon[0] != '/' || strlen(canon) > static_cast<size_t>(room) - 1)) abort();
  return 0;
}
