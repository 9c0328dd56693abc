// The byte reader under the parameter decoder: one cursor over the input and
// the readers of blanks, literal words, strings and numbers, each following
// the host's JSON library (serde_json reading a byte slice) byte for byte, so
// that it fails where the library fails and says what it says.
//
// The reader borrows the input text, which must outlive it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "json_error.h"
#include "json_number.h"

namespace lmfs::loomfs::json {

class Reader {
 public:
  static constexpr int kEnd = -1;  // what peek() gives at the end of the input

  explicit Reader(std::string_view in) : in_(in) {}

  [[nodiscard]] int peek() const { return pos_ < in_.size() ? static_cast<unsigned char>(in_[pos_]) : kEnd; }
  void eat() { ++pos_; }  // takes the byte peek() has just shown
  // Skips blanks (space, tab, CR, LF) and peeks at the byte after them.
  [[nodiscard]] int peek_ws() {
    for (; pos_ < in_.size(); ++pos_) {
      const char c = in_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
    }
    return peek();
  }

  // Stops at a syntax failure, in the library's two places: `error` counts
  // the bytes taken so far, `peek_error` also the byte looked at (none at the
  // end).
  [[nodiscard]] std::unexpected<Stopped> error(Code code) { return fail(syntax(code, pos_)); }
  [[nodiscard]] std::unexpected<Stopped> peek_error(Code code);
  // Stops at `failure` (a visitor's, unplaced until placed()).
  [[nodiscard]] std::unexpected<Stopped> fail(Failure failure) {
    failure_ = std::move(failure);
    return std::unexpected(Stopped{});
  }
  // `status`; if it stopped at an unplaced failure, that is placed where the
  // reader stands.
  [[nodiscard]] Status placed(Status status);
  // The failure the decoding stopped at.
  [[nodiscard]] Failure& failure() { return failure_; }

  // `null`, `true` or `false`, whose first byte peek() has just shown.
  [[nodiscard]] Status word(std::string_view word);
  // ':' between a key and its value.
  [[nodiscard]] Status colon();

  // A string after its opening quote. Into `out` (replacing its contents) it
  // is decoded as a value: escapes resolved, lone surrogate escapes refused,
  // UTF-8 checked once the closing quote is taken. With no `out` it is
  // skipped as inside an ignored value: any four hex digits after \u pass,
  // bytes are not checked, and a control character is reported before itself
  // rather than after.
  [[nodiscard]] Status string(std::string* out);
  // The same string, to be compared only: `out` views it where it stands in
  // the input when it holds no escape (no copy), else views `scratch`, into
  // which it was decoded. Same checks, same errors as string().
  [[nodiscard]] Status string_view(std::string& scratch, std::string_view& out);

  // A number from its first byte ('-' or a digit). Into `out` it is read as a
  // value with the library's arithmetic, which refuses a few inputs that the
  // grammar allows; with no `out` only the grammar is checked, as the
  // library's skipper checks it, and any magnitude passes.
  [[nodiscard]] Status number(Number* out);

 private:
  [[nodiscard]] Status escape(std::string* out);
  [[nodiscard]] Status hex4(unsigned& out);

  // Where the run of plain string bytes from `at` ends (the input's end, or
  // a quote, backslash or control character); its bytes are or-ed into
  // `bytes`.
  [[nodiscard]] std::size_t plain_run(std::size_t at, unsigned char& bytes) const;

  std::string_view in_;
  std::size_t pos_ = 0;
  Failure failure_;
};

}  // namespace lmfs::loomfs::json
