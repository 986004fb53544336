// The program's JSON value library: a reference-counted, copy-on-write tree
// that is decoded lazily. Parsing only checks the outer brackets; containers
// are split and scalars decoded the first time somebody reads them, and
// anything never read is written back exactly as it was received (minified).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class JsonKind : std::uint8_t {
  Null = 0,
  String = 1,
  Number = 2,
  Boolean = 3,
  Array = 4,
  Object = 5,
};

class JsonPtr;

// Growable array of child handles: 8 slots at the first insertion, doubled
// when full.
struct JsonChildren {
  JsonPtr* slots = nullptr;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;

  // From the same per-thread cache as the values (see JsonValue).
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;
};

struct JsonValue {
  JsonKind kind = JsonKind::Null;
  std::u16string name;
  bool nameEscaped = false;
  std::u16string text;
  bool textEscaped = false;
  double number = 0.0;
  bool boolValue = false;
  std::uint32_t refCount = 1;
  bool decoded = false;
  JsonChildren* children = nullptr;  // present for Array and Object only
  // Nesting level below the parsed root (saturating). Containers nested
  // deeper than the library's limit decode to a failed Null, which bounds
  // the work and the stack needed for hostile input.
  std::uint16_t depth = 0;
  // The raw text holds no escaped quote (which minifying stores as
  // backslash + U+0001), so it is written out exactly as it is.
  bool rawVerbatim = false;

  JsonValue() = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  ~JsonValue();

  // Values come from a small per-thread cache of free ones: every message
  // read makes and drops one value per member.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;
};

// Handle to a shared JsonValue. Copying shares the value; Append, Member and
// At detach first (deep copy when shared), so a child added through one
// handle is never seen through another. The setters (SetName, SetInt,
// SetUInt, SetDouble) change the shared value in place: a number is set and
// named on a fresh value before it is appended, and a value may be set after
// it has been appended to change the member in the tree.
class JsonPtr {
 public:
  JsonPtr() noexcept = default;
  explicit JsonPtr(JsonValue* adopt) noexcept : value_(adopt) {}
  JsonPtr(const JsonPtr& other) noexcept;
  JsonPtr(JsonPtr&& other) noexcept;
  JsonPtr& operator=(const JsonPtr& other) noexcept;
  JsonPtr& operator=(JsonPtr&& other) noexcept;
  ~JsonPtr();

  JsonValue* get() const noexcept { return value_; }
  JsonValue* operator->() const noexcept { return value_; }
  JsonValue& operator*() const noexcept { return *value_; }
  explicit operator bool() const noexcept { return value_ != nullptr; }

  // Kind after decoding (a value that fails to decode reads as Null).
  // A null handle reads as Null.
  JsonKind Kind() const;

  void Append(const JsonPtr& child);
  // First child with exactly this name, or nullptr (also for non-containers).
  JsonPtr* Find(const std::u16string& name) const;
  // Detaches, then finds. An absent member yields a handle to a new Null
  // value rather than undefined behaviour.
  JsonPtr Member(const std::u16string& name);
  // Child at index, or a null handle for non-containers and bad indexes.
  JsonPtr At(std::size_t index);
  // Number of children after decoding (0 for non-containers).
  std::size_t Size() const;

  std::u16string AsString() const;
  std::int64_t AsInt64() const;
  double AsDouble() const;

  void SetName(const std::u16string& name);
  void SetInt(std::int32_t v);
  void SetUInt(std::uint32_t v);
  void SetDouble(double v);

  JsonPtr ToArray() const;
  // indent -1 = compact; >= 0 = pretty with TAB indentation.
  std::u16string ToText(int indent, bool omitName) const;

 private:
  void Detach();
  JsonValue* value_ = nullptr;
};

// Throws std::invalid_argument (empty message) when the text is not
// bracketed as an array or object.
JsonPtr JsonParse(const std::u16string& text);
// Compact text of a root Array or Object; empty text for any other kind.
std::u16string JsonWrite(const JsonPtr& value);
JsonPtr JsonNew(JsonKind kind);
JsonPtr JsonNewString(const std::u16string& name, const std::u16string& text);

// Code page 65001 is UTF-8, 0 the system code page. On failure the output
// is left unchanged and false is returned.
bool ToWide(const std::string& narrow, unsigned codePage, std::u16string& wide);
bool ToUtf8(const std::u16string& wide, std::string& utf8);
