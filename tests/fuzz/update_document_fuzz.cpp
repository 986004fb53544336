// The update document reader on arbitrary response bodies. It never throws;
// a number is only ever taken from a listed version; the first entry's own
// version is always found; and a document reads the same after being
// written back compactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"
#include "services/update.h"
#include "services/update_check.h"
#include "tests/fuzz/fuzz_support.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  bool listed = true;
  const std::int32_t state = Report::ReadUpdateDocument(body, Report::kProgramVersion, listed);
  if (!listed) Check(state == Report::UpdateNone);

  std::u16string text;
  JsonPtr root;
  try {
    if (!ToWide(body, 65001, text)) {
      Check(!listed);
      return 0;
    }
    root = JsonParse(text);
  } catch (...) {
    Check(!listed && state == Report::UpdateNone);
    return 0;
  }

  std::string compact;
  Check(ToUtf8(JsonWrite(root), compact));
  bool listedAgain = false;
  Check(Report::ReadUpdateDocument(compact, Report::kProgramVersion, listedAgain) == state);
  Check(listedAgain == listed);

  JsonPtr entries = root.ToArray();
  if (entries.Size() > 0) {
    JsonPtr first = entries.At(0).ToArray();
    if (first.Size() > 0) {
      bool found = false;
      const std::int32_t got = Report::ReadUpdateDocument(body, first.At(0).AsString(), found);
      Check(found);
      const std::int32_t number =
          first.Size() < 2 ? 0 : std::int32_t(std::uint32_t(first.At(1).AsInt64()));
      Check(got == number);
    }
  }
  return 0;
}
