// The SAX handler behind decode_options.
//
// RapidJSON tokenizes; the Decoder is a state machine that follows what the
// host's JSON library (serde_json with derived record visitors) does with each
// token, builds the options, and stops at the first failure that library would
// report, worded and placed as it would. Where the two part ways:
//   - between two tokens the library may fail on a separator RapidJSON accepts
//     (a fifth array element, a second key in a medium object);
//   - string contents are checked for UTF-8 here, where the library checks them
//     (not inside ignored values), and numbers are converted with the library's
//     own arithmetic so that messages quote the same values;
//   - when RapidJSON stops with an error, `explain` follows the library from
//     the end of the last token to RapidJSON's stop: only blanks, at most one
//     separator and the start of one token lie in between;
//   - inside ignored values the library accepts lone UTF-16 surrogate escapes
//     and numbers out of range, which RapidJSON refuses: `explain` then says
//     where to resume, and `lead_in` gives the text that brings a fresh
//     RapidJSON parse back into the open containers.
//
// The decoder borrows the input text; it must outlive the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json_error.h"
#include "loomfs_driver/options.h"
#include "rapidjson_reader.h"
#include "schema.h"

namespace lmfs::loomfs::json {

// The input as RapidJSON reads it, with offsets into the whole text. After a
// resume a synthetic lead-in comes first; meanwhile Tell() is the resume offset.
class InputStream {
 public:
  using Ch = char;

  InputStream(std::string_view text, std::size_t pos, std::string_view lead)
      : text_(text), lead_(lead), pos_(pos) {}

  [[nodiscard]] Ch Peek() const {
    if (lead_pos_ < lead_.size()) return lead_[lead_pos_];
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  Ch Take() {
    const Ch c = Peek();
    if (lead_pos_ < lead_.size()) {
      ++lead_pos_;
    } else if (pos_ < text_.size()) {
      ++pos_;
    }
    return c;
  }
  [[nodiscard]] std::size_t Tell() const { return pos_; }

  // Write side: unused by a non-destructive parse.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  std::string_view text_;
  std::string_view lead_;
  std::size_t pos_;
  std::size_t lead_pos_ = 0;
};

// Where to go on after RapidJSON refused something the library accepts.
struct Resume {
  std::size_t at;      // offset of the first byte not yet accepted
  bool inside_string;  // `at` lies inside a string; otherwise just after a number
};

using Outcome = std::variant<Failure, Resume>;

constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseNumbersAsStringsFlag;

class Decoder {
 public:
  explicit Decoder(std::string_view in) : in_(in) {}

  // Each parse (the first and every resumed one) reads from `stream`; the
  // first `muted_events` events are its lead-in's and are ignored.
  void attach(const InputStream& stream, std::size_t muted_events) {
    stream_ = &stream;
    mute_ = muted_events;
  }

  [[nodiscard]] const std::optional<Failure>& failure() const { return failure_; }
  [[nodiscard]] bool done() const { return done_; }  // the whole value has been read
  LoomFsDriverOptions take() { return std::move(opts_); }

  // RapidJSON handler. Numbers arrive as text (RawNumber) only.
  bool Null();
  bool Bool(bool b);
  bool RawNumber(const char* s, rapidjson::SizeType length, bool copy);
  bool String(const char* s, rapidjson::SizeType length, bool copy);
  bool Key(const char* s, rapidjson::SizeType length, bool copy);
  bool StartObject();
  bool StartArray();
  bool EndObject(rapidjson::SizeType members);
  bool EndArray(rapidjson::SizeType elements);
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }

  // After RapidJSON stopped with `err`: the library's failure, or where to
  // resume.
  [[nodiscard]] Outcome explain(const rapidjson::ParseResult& err) const;

  // The text that brings a fresh parse back into the open containers, inside a
  // string or just after a value, and the number of events it produces. Only
  // the innermost containers are recreated, so that a resume costs the same at
  // any depth; when they close, parsing goes on with the next ones.
  [[nodiscard]] std::pair<std::string, std::size_t> lead_in(bool inside_string) const;

  // A number inside an ignored value, refused by RapidJSON, ended at `end`.
  void skipped_number(std::size_t end) { skipped_scalar(end); }

 private:
  // Containers a lead-in recreates at most.
  static constexpr std::size_t kLeadInDepth = 64;
  static constexpr int kAwaitKey = -1;

  enum class Lit : std::uint8_t { Null, True, False };
  // Where the innermost open container stands.
  enum class Phase : std::uint8_t { Open, AfterKey, AfterValue };
  enum class Stage : std::uint8_t { AwaitKind, AwaitValue, AwaitEnd };

  // One record, list or medium object being decoded.
  struct Frame {
    enum class Kind : std::uint8_t { Map, Seq, List, Enum };
    Kind kind;
    Want want;              // Map/Seq: the record; List: the element
    int field = kAwaitKey;  // Map: the field whose value comes next
    int count = 0;          // Seq: elements read
    std::uint8_t seen = 0;  // Map: fields given
    Stage stage = Stage::AwaitKind;
    MediumKind kind_of_medium = MediumKind::None;
  };

  // --- events (decoder.cpp) ---
  [[nodiscard]] std::size_t tell() const { return stream_->Tell(); }
  [[nodiscard]] std::size_t peek_index(std::size_t at) const;
  [[nodiscard]] std::size_t skip_ws(std::size_t i) const;
  [[nodiscard]] std::size_t token_start() const;
  [[nodiscard]] std::size_t after_list_end(std::size_t i) const;
  [[nodiscard]] std::size_t after_map_end(std::size_t i) const;
  [[nodiscard]] bool seq_full() const;
  [[nodiscard]] Want want() const;
  [[nodiscard]] std::optional<Failure> lone_trailing_surrogate(std::size_t quote, std::size_t limit) const;
  [[nodiscard]] std::optional<Failure> check_text(std::string_view s, std::size_t end) const;

  bool muted();
  bool fail(Failure f);
  void value_done();
  bool scalar_done(std::size_t end);
  bool skipped_scalar(std::size_t end);
  void commit_medium();
  bool literal(std::size_t length, Lit lit);
  bool number(std::size_t start, std::size_t end);
  bool string(std::string_view s, std::size_t end);
  bool key(std::string_view s, std::size_t end);
  bool open(char bracket, std::size_t at);
  bool close(std::size_t at);

  // --- after RapidJSON stopped (decoder_stop.cpp) ---
  [[nodiscard]] Outcome after_key(std::size_t i, Want w, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Outcome value(std::size_t i, Want w, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Outcome token(std::size_t i, Want w, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Outcome literal_token(std::size_t i, Want w, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Outcome string_token(std::size_t quote, bool checked, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Outcome escape(std::size_t at, bool checked, const rapidjson::ParseResult& err) const;
  [[nodiscard]] Failure unexplained(const rapidjson::ParseResult& err) const;

  std::string_view in_;
  const InputStream* stream_ = nullptr;
  std::size_t mute_ = 0;

  LoomFsDriverOptions opts_;
  StorageMedium medium_;  // the medium being decoded

  std::vector<Frame> stack_;  // records, lists and medium objects being decoded
  std::vector<char> nest_;    // every open container, '[' or '{'
  Phase phase_ = Phase::Open;
  bool skipping_ = false;      // inside a value under an unknown key
  std::size_t skip_base_ = 0;  // nest_ size where that value started
  bool done_ = false;
  std::size_t last_ = 0;  // offset just past the last token
  std::optional<Failure> failure_;
};

[[nodiscard]] bool is_ws(char c);
[[nodiscard]] int hex_value(char c);

}  // namespace lmfs::loomfs::json
