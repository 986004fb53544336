// Parses arbitrary bytes three ways (as UTF-16 code units, one code unit per
// byte, and as UTF-8 through ToWide), reads every value of the tree and
// writes it back compact and pretty. Any crash, sanitizer report or broken
// invariant is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "json/json.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void ReadAll(const JsonPtr& root) {
  std::vector<JsonPtr> pending{root};
  while (!pending.empty()) {
    JsonPtr value = pending.back();
    pending.pop_back();
    const JsonKind kind = value.Kind();
    value.AsString();
    value.AsDouble();
    value.AsInt64();
    JsonPtr array = value.ToArray();
    Check(array.Kind() == JsonKind::Array);
    if (kind != JsonKind::Array && kind != JsonKind::Object) {
      Check(value.Size() == 0 && value.Find(u"") == nullptr);
      continue;
    }
    const std::size_t size = value.Size();
    Check(array.Size() == size);
    for (std::size_t i = 0; i < size; ++i) {
      const JsonPtr& child = value->children->slots[i];
      JsonPtr* found = value.Find(child->name);
      Check(found != nullptr && (*found)->name == child->name);
      pending.push_back(child);
    }
  }
}

void Exercise(const std::u16string& text) {
  JsonPtr root;
  try {
    root = JsonParse(text);
  } catch (const std::invalid_argument&) {
    return;
  }
  // Unread output is the minified text and minifying it again changes
  // nothing.
  const std::u16string unread = JsonWrite(root);
  Check(JsonWrite(JsonParse(unread)) == unread);

  JsonPtr shared = root;
  ReadAll(shared);
  std::string utf8;
  ToUtf8(JsonWrite(root), utf8);
  ToUtf8(root.ToText(0, true), utf8);
  root.ToText(-1, false);

  // Writing through a copy must not change what the original shows.
  const std::u16string before = JsonWrite(root);
  JsonPtr copy = root;
  copy.Append(JsonNewString(u"k", u"v"));
  JsonPtr first = copy.At(0);
  if (first) first.SetDouble(first.AsDouble());
  Check(JsonWrite(root) == before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(&units[0], data, units.size() * 2);
  Exercise(units);

  Exercise(std::u16string(data, data + size));

  std::u16string wide;
  if (ToWide(std::string(reinterpret_cast<const char*>(data), size), 65001, wide)) {
    Exercise(wide);
  }
  return 0;
}
