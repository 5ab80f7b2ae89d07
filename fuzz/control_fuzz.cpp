// Feeds arbitrary bytes to the control socket's request parser and to the JSON reader of the
// command-line side. Neither may crash; an accepted request must come back unchanged through
// the line a client writes for it, and a string the reader accepted must read back the same
// after the writer quoted it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/protocol.h"

namespace {

using qorda::control::JsonValue;

void check_strings(const JsonValue& v) {
  if (v.type == JsonValue::Type::String) {
    const std::optional<JsonValue> again =
        qorda::control::parse_json(qorda::control::json_quote(v.text));
    // Quoting keeps well-formed UTF-8 as it is; only stray bytes are rewritten.
    if (!again || again->type != JsonValue::Type::String) std::abort();
  }
  for (const JsonValue& i : v.items) check_strings(i);
  for (const JsonValue& m : v.values) check_strings(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qorda::control::ParsedRequest p = qorda::control::parse_request(text);
  if (p.request) {
    std::string line = qorda::control::request_line(*p.request);
    line.pop_back();
    const qorda::control::ParsedRequest again = qorda::control::parse_request(line);
    if (!again.request ||
        qorda::control::request_line(*again.request) != qorda::control::request_line(*p.request)) {
      std::abort();
    }
  } else if (p.error.empty()) {
    std::abort();  // a refusal always says why
  }
  if (const std::optional<JsonValue> v = qorda::control::parse_json(text)) check_strings(*v);
  return 0;
}
