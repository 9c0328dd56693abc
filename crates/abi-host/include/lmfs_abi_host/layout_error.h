// Why a library's type-layout graph was not accepted: its records could not
// be read (a null pointer, a pointer outside the library, a range outside its
// table, an unknown enumeration value, too many types), or they were read and
// are incompatible with the graph this host expects.
//
// The reader describes a fault where it finds it and each caller on the way
// up names where it was looking, so that the message reads from the outside
// in: "its type layout cannot be read: type layout #3 (RString): its fields:
// ...".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace lmfs::abi::layout {

class [[nodiscard]] LayoutError {
 public:
  enum class Kind : std::uint8_t {
    Malformed,     // a record could not be read
    Incompatible,  // the graphs were read and differ
  };

  // `problem` says what is wrong with a record, e.g. "its tag is a null
  // pointer".
  [[nodiscard]] static LayoutError malformed(std::string problem) {
    return LayoutError(Kind::Malformed, std::move(problem));
  }
  // `report` lists every difference (layout_check.h's mismatch report).
  [[nodiscard]] static LayoutError incompatible(std::string report) {
    return LayoutError(Kind::Incompatible, std::move(report));
  }

  // The same error seen from one level further out: "CONTEXT: message".
  [[nodiscard]] LayoutError within(std::string_view context) && {
    text_.insert(0, std::string(context) + ": ");
    return std::move(*this);
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& message() const { return text_; }

 private:
  LayoutError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
};

}  // namespace lmfs::abi::layout
