#include "presentation/slide_deck.h"

#include <algorithm>
#include <cmath>

namespace {

bool Number(const AutoValue& value, double* number) {
  switch (value.kind) {
    case AutoValue::Kind::Float:
    case AutoValue::Kind::Double:
      *number = value.number;
      return std::isfinite(value.number);
    case AutoValue::Kind::Int32:
      *number = value.intValue;
      return true;
    default:
      return false;
  }
}

// FNV-1a over the bytes given, finished with a 64-bit mixer so that the low
// digits taken below depend on every input byte.
class RevisionHash {
 public:
  void Add(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      hash_ ^= (value >> (8 * i)) & 0xFF;
      hash_ *= 0x100000001B3ull;
    }
  }
  void Add(const std::u16string& text) {
    Add(text.size(), 8);
    for (char16_t c : text) Add(c, 2);
  }
  std::uint64_t Finish() const {
    std::uint64_t h = hash_;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
  }

 private:
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

// Points to hundredths, so that a Float and a Double of one size agree.
std::uint64_t Hundredths(double points) {
  return static_cast<std::uint64_t>(std::llround(std::clamp(points, 0.0, 1e9) * 100.0));
}

}  // namespace

bool ReadDeckFacts(IAutomationObject* presentation, DeckFacts* facts) {
  *facts = DeckFacts();
  if (!presentation) return false;
  AutoValue value;
  if (Succeeded(GetProperty(presentation, u"FullName", &value)) &&
      value.kind == AutoValue::Kind::Text)
    facts->fullName = value.text;
  // msoTrue is -1; a Bool from a bridge that converted it counts the same.
  if (Succeeded(GetProperty(presentation, u"Saved", &value))) {
    if (value.kind == AutoValue::Kind::Int32) facts->saved = value.intValue != 0;
    if (value.kind == AutoValue::Kind::Bool) facts->saved = value.boolValue;
  }
  AutomationPtr pageSetup;
  double number = 0;
  if (Succeeded(GetObjectProperty(presentation, u"PageSetup", &pageSetup)) && pageSetup) {
    if (Succeeded(GetProperty(pageSetup.get(), u"SlideWidth", &value)) && Number(value, &number))
      facts->width = std::max(number, 0.0);
    if (Succeeded(GetProperty(pageSetup.get(), u"SlideHeight", &value)) && Number(value, &number))
      facts->height = std::max(number, 0.0);
  }
  AutomationPtr slides;
  if (Failed(GetObjectProperty(presentation, u"Slides", &slides)) || !slides ||
      Failed(GetProperty(slides.get(), u"Count", &value)) || !Number(value, &number))
    return false;
  facts->count = number > 0 && number < 1e6 ? static_cast<std::int32_t>(number) : 0;
  return true;
}

double DeckAspect(const DeckFacts& facts) {
  if (!(facts.width > 0) || !(facts.height > 0)) return 0.0;
  return facts.width / facts.height;
}

std::string DeckRevision(const DeckFacts& facts, std::uint64_t slideChanges) {
  RevisionHash hash;
  hash.Add(facts.fullName);
  hash.Add(static_cast<std::uint32_t>(facts.count), 4);
  hash.Add(Hundredths(facts.width), 8);
  hash.Add(Hundredths(facts.height), 8);
  hash.Add(facts.saved ? 1 : 0, 1);
  if (!facts.saved) hash.Add(slideChanges, 8);
  // 36^10 names, fewer than 2^52: the mixed hash modulo that count.
  std::uint64_t value = hash.Finish() % 3656158440062976ull;
  std::string revision(10, '0');
  for (int i = 9; i >= 0; --i, value /= 36)
    revision[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36];
  return revision;
}

std::int32_t ClampSlideImageWidth(std::int32_t width) {
  return std::clamp(width, kMinSlideImageWidth, kMaxSlideImageWidth);
}

std::int32_t SlideImageHeight(std::int32_t width, double aspect) {
  if (!(aspect > 0) || !std::isfinite(aspect)) return 0;
  const double height = std::round(width / aspect);
  if (height < 1) return 1;
  return height > kMaxSlideImageHeight ? 0 : static_cast<std::int32_t>(height);
}
