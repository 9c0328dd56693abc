// decode_options: RapidJSON's SAX reader driving the Decoder (decoder.h),
// resumed where the host's JSON library accepts what RapidJSON refuses.
#include <algorithm>
#include <tuple>

#include "decoder.h"
#include "json_error.h"
#include "loomfs_driver/options.h"

namespace lmfs::loomfs {

std::expected<LoomFsDriverOptions, std::string> decode_options(std::string_view json) {
  using json::Code;
  const auto failed = [&](const json::Failure& f) { return std::unexpected(json::render(f, json)); };

  json::Decoder decoder(json);
  std::string lead;
  std::size_t start = 0;
  std::size_t muted = 0;
  for (;;) {
    json::InputStream stream(json, start, lead);
    decoder.attach(stream, muted);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<json::kParseFlags>(stream, decoder);
    if (const auto& failure = decoder.failure()) return failed(*failure);

    if (!result.IsError()) {
      if (!decoder.done()) {
        // The containers a lead-in recreated closed; those around them remain.
        if (stream.Tell() <= start) return failed(json::syntax(Code::ExpectedSomeValue, start));
        start = stream.Tell();
        std::tie(lead, muted) = decoder.lead_in(false);
        continue;
      }
      // Only blanks may follow the value.
      std::size_t i = stream.Tell();
      while (i < json.size() && json::is_ws(json[i])) ++i;
      if (i < json.size()) return failed(json::syntax(Code::TrailingCharacters, i + 1));
      return decoder.take();
    }

    const json::Outcome outcome = decoder.explain(result);
    if (const auto* failure = std::get_if<json::Failure>(&outcome)) return failed(*failure);
    const auto resume = std::get<json::Resume>(outcome);
    if (resume.at <= start) return failed(json::syntax(Code::ExpectedSomeValue, std::min(json.size(), resume.at + 1)));
    std::tie(lead, muted) = decoder.lead_in(resume.inside_string);
    if (!resume.inside_string) decoder.skipped_number(resume.at);
    start = resume.at;
  }
}

}  // namespace lmfs::loomfs
