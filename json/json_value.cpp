// Handles, reference counts, copy-on-write and the building operations.
#include <cmath>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/json_internal.h"

namespace {

// Freed blocks of the library's three fixed sizes (values, children
// headers, first slot arrays), kept for reuse by the thread that freed
// them: reading a message makes and drops one value per member. The lists
// are plain data, so they stay usable while the thread's other objects are
// torn down; the closer frees what they hold when the thread ends, and
// blocks freed after that go back to the heap.
enum BlockKind { kValueBlock, kChildrenBlock, kSlotsBlock, kBlockKinds };

constexpr std::uint32_t kFirstCapacity = 8;
constexpr std::uint32_t kCachedBlocks = 256;  // of each kind, per thread

// Released values are also kept whole, strings and all: a value taken
// again then receives the next message's text into the buffer that held
// the last one's, and a stream of messages of similar size is read without
// a string allocation. Longer buffers are given back, which bounds what a
// thread keeps to kPooledValues values of kKeptTextUnits units per string.
constexpr std::uint32_t kPooledValues = 256;
constexpr std::size_t kKeptTextUnits = 512;

struct FreeBlock {
  FreeBlock* next;
};

struct BlockCache {
  FreeBlock* head[kBlockKinds];
  std::uint32_t count[kBlockKinds];
  JsonValue* pooled[kPooledValues];
  std::uint32_t pooledCount;
  bool open;
  bool closed;
};
thread_local BlockCache tBlocks;

struct BlockCacheCloser {
  ~BlockCacheCloser() {
    BlockCache& cache = tBlocks;
    cache.closed = true;
    // Pooled values have no children; their memory goes to the heap since
    // the cache is closed.
    while (cache.pooledCount) delete cache.pooled[--cache.pooledCount];
    for (int kind = 0; kind < kBlockKinds; ++kind) {
      while (cache.head[kind]) {
        FreeBlock* next = cache.head[kind]->next;
        ::operator delete(cache.head[kind]);
        cache.head[kind] = next;
      }
      cache.count[kind] = 0;
    }
  }
};
thread_local BlockCacheCloser tBlockCacheCloser;

// AddressSanitizer must see every block freed for real to catch a use
// after free.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCacheBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCacheBlocks = false;
#else
constexpr bool kCacheBlocks = true;
#endif
#else
constexpr bool kCacheBlocks = true;
#endif

void* TakeBlock(BlockKind kind, std::size_t size) {
  BlockCache& cache = tBlocks;
  if (kCacheBlocks && cache.head[kind]) {
    FreeBlock* block = cache.head[kind];
    cache.head[kind] = block->next;
    --cache.count[kind];
    return block;
  }
  return ::operator new(size);
}

// The first use registers the closer for this thread's exit.
void OpenCache(BlockCache& cache) {
  if (!cache.open) {
    static_cast<void>(&tBlockCacheCloser);
    cache.open = true;
  }
}

void GiveBlock(BlockKind kind, void* memory) {
  BlockCache& cache = tBlocks;
  if (kCacheBlocks && !cache.closed && cache.count[kind] < kCachedBlocks) {
    OpenCache(cache);
    FreeBlock* block = static_cast<FreeBlock*>(memory);
    block->next = cache.head[kind];
    cache.head[kind] = block;
    ++cache.count[kind];
    return;
  }
  ::operator delete(memory);
}

}  // namespace

void* JsonValue::operator new(std::size_t size) {
  return size == sizeof(JsonValue) ? TakeBlock(kValueBlock, size) : ::operator new(size);
}

void JsonValue::operator delete(void* memory, std::size_t size) noexcept {
  if (!memory) return;
  if (size == sizeof(JsonValue)) {
    GiveBlock(kValueBlock, memory);
  } else {
    ::operator delete(memory);
  }
}

void* JsonChildren::operator new(std::size_t size) {
  return size == sizeof(JsonChildren) ? TakeBlock(kChildrenBlock, size) : ::operator new(size);
}

void JsonChildren::operator delete(void* memory, std::size_t size) noexcept {
  if (!memory) return;
  if (size == sizeof(JsonChildren)) {
    GiveBlock(kChildrenBlock, memory);
  } else {
    ::operator delete(memory);
  }
}

namespace json_detail {

namespace {

// Slot arrays: the first one of a container comes from the cache, larger
// ones from the heap.
JsonPtr* NewSlots(std::uint32_t capacity) {
  if (capacity != kFirstCapacity) return new JsonPtr[capacity];
  JsonPtr* slots = static_cast<JsonPtr*>(TakeBlock(kSlotsBlock, sizeof(JsonPtr) * capacity));
  for (std::uint32_t i = 0; i < capacity; ++i) new (slots + i) JsonPtr();
  return slots;
}

void DeleteSlots(JsonPtr* slots, std::uint32_t capacity) {
  if (!slots) return;
  if (capacity != kFirstCapacity) {
    delete[] slots;
    return;
  }
  for (std::uint32_t i = 0; i < capacity; ++i) slots[i].~JsonPtr();
  GiveBlock(kSlotsBlock, slots);
}

}  // namespace

}  // namespace json_detail

namespace json_detail {

JsonValue* NewValue() {
  BlockCache& cache = tBlocks;
  if (cache.pooledCount) return cache.pooled[--cache.pooledCount];
  return new JsonValue;
}

void ReleaseValue(JsonValue* value) {
  BlockCache& cache = tBlocks;
  if (!kCacheBlocks || cache.closed || cache.pooledCount == kPooledValues) {
    delete value;
    return;
  }
  if (value->children) {
    // Releases the subtree without recursion; the children join the pool.
    JsonChildren* children = value->children;
    value->children = nullptr;
    FreeChildren(children);
    // Pooling the children may have filled the pool.
    if (cache.pooledCount == kPooledValues) {
      delete value;
      return;
    }
  }
  OpenCache(cache);
  // Back to the state of `new JsonValue` (the value tests check that
  // every field reads as new), keeping string buffers of moderate size.
  for (std::u16string* s : {&value->name, &value->text}) {
    if (s->capacity() > kKeptTextUnits) {
      std::u16string().swap(*s);
    } else {
      s->clear();
    }
  }
  value->kind = JsonKind::Null;
  value->nameEscaped = false;
  value->textEscaped = false;
  value->number = 0.0;
  value->boolValue = false;
  value->refCount = 1;
  value->decoded = false;
  value->depth = 0;
  value->rawVerbatim = false;
  cache.pooled[cache.pooledCount++] = value;
}

void AddChild(JsonChildren& children, JsonPtr&& child) {
  if (children.count == children.capacity) {
    if (children.capacity >= (1u << 30)) throw std::bad_alloc();
    std::uint32_t capacity = children.capacity == 0 ? kFirstCapacity : children.capacity * 2;
    JsonPtr* slots = NewSlots(capacity);
    for (std::uint32_t i = 0; i < children.count; ++i) slots[i] = std::move(children.slots[i]);
    DeleteSlots(children.slots, children.capacity);
    children.slots = slots;
    children.capacity = capacity;
  }
  children.slots[children.count++] = std::move(child);
}

void FreeChildren(JsonChildren* children) {
  // A child about to die hands its own children array to the pending list
  // before its slot is released, so no destructor ever recurses.
  std::vector<JsonChildren*> pending;
  while (children) {
    for (std::uint32_t i = 0; i < children->count; ++i) {
      JsonValue* child = children->slots[i].get();
      if (child && child->refCount == 1 && child->children) {
        pending.push_back(child->children);
        child->children = nullptr;
      }
    }
    DeleteSlots(children->slots, children->capacity);
    delete children;
    if (pending.empty()) break;
    children = pending.back();
    pending.pop_back();
  }
}

namespace {

JsonValue* CopyFields(const JsonValue& source) {
  JsonValue* copy = NewValue();
  copy->kind = source.kind;
  copy->name = source.name;
  copy->nameEscaped = source.nameEscaped;
  copy->text = source.text;
  copy->textEscaped = source.textEscaped;
  copy->number = source.number;
  copy->boolValue = source.boolValue;
  copy->decoded = source.decoded;
  copy->depth = source.depth;
  copy->rawVerbatim = source.rawVerbatim;
  if (source.children) copy->children = new JsonChildren;
  return copy;
}

}  // namespace

JsonValue* DeepCopy(const JsonValue* source) {
  JsonPtr root(CopyFields(*source));
  // Breadth of work instead of recursion: (original, copy) pairs whose
  // children still have to be copied.
  std::vector<std::pair<const JsonValue*, JsonValue*>> work;
  if (source->children && source->children->count) work.emplace_back(source, root.get());
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    for (std::uint32_t i = 0; i < from->children->count; ++i) {
      const JsonValue* child = from->children->slots[i].get();
      JsonPtr copy(CopyFields(*child));
      if (child->children && child->children->count) work.emplace_back(child, copy.get());
      AddChild(*to->children, std::move(copy));
    }
  }
  JsonValue* result = root.get();
  ++result->refCount;  // survives the holder's release below
  return result;
}

void MakeFailedNull(JsonValue* value) {
  value->kind = JsonKind::Null;
  value->text = u"null";
  value->textEscaped = false;
  value->number = 0.0;
  value->boolValue = false;
  value->decoded = true;
  if (value->children) {
    JsonChildren* children = value->children;
    value->children = nullptr;
    FreeChildren(children);
  }
}

}  // namespace json_detail

using namespace json_detail;

JsonValue::~JsonValue() {
  if (children) FreeChildren(children);
}

JsonPtr::JsonPtr(const JsonPtr& other) noexcept : value_(other.value_) {
  if (value_) ++value_->refCount;
}

JsonPtr::JsonPtr(JsonPtr&& other) noexcept : value_(other.value_) { other.value_ = nullptr; }

JsonPtr& JsonPtr::operator=(const JsonPtr& other) noexcept {
  JsonPtr copy(other);
  std::swap(value_, copy.value_);
  return *this;
}

JsonPtr& JsonPtr::operator=(JsonPtr&& other) noexcept {
  if (this != &other) {
    JsonValue* const previous = value_;
    value_ = other.value_;
    other.value_ = nullptr;
    if (previous && --previous->refCount == 0) ReleaseValue(previous);
  }
  return *this;
}

JsonPtr::~JsonPtr() {
  if (value_ && --value_->refCount == 0) ReleaseValue(value_);
}

void JsonPtr::Detach() {
  if (!value_ || value_->refCount < 2) return;
  JsonValue* copy = DeepCopy(value_);
  --value_->refCount;
  value_ = copy;
}

JsonKind JsonPtr::Kind() const {
  if (!value_) return JsonKind::Null;
  Decode(value_);
  return value_->kind;
}

void JsonPtr::Append(const JsonPtr& child) {
  if (!value_ || !child) return;
  // Holding the child first makes `v.Append(v)` detach `v`, so the tree
  // gets the old value as a child instead of a cycle through itself.
  JsonPtr keep(child);
  Detach();
  if (value_->kind != JsonKind::Array && value_->kind != JsonKind::Object) return;
  // An unread container must be split before it grows, or the new child
  // would be lost when the raw text is decoded later.
  Decode(value_);
  if (!value_->children) return;
  AddChild(*value_->children, std::move(keep));
}

JsonPtr* JsonPtr::Find(const std::u16string& name) const {
  if (!value_ || (value_->kind != JsonKind::Array && value_->kind != JsonKind::Object)) {
    return nullptr;
  }
  Decode(value_);
  JsonChildren* children = value_->children;
  if (!children) return nullptr;
  const std::size_t size = name.size();
  for (std::uint32_t i = 0; i < children->count; ++i) {
    const std::u16string& own = children->slots[i]->name;
    // Lengths first: most names differ in length.
    if (own.size() == size &&
        std::char_traits<char16_t>::compare(own.data(), name.data(), size) == 0) {
      return &children->slots[i];
    }
  }
  return nullptr;
}

JsonPtr JsonPtr::Member(const std::u16string& name) {
  Detach();
  JsonPtr* found = Find(name);
  return found ? *found : JsonNew(JsonKind::Null);
}

JsonPtr JsonPtr::At(std::size_t index) {
  Detach();
  if (!value_ || (value_->kind != JsonKind::Array && value_->kind != JsonKind::Object)) {
    return JsonPtr();
  }
  Decode(value_);
  JsonChildren* children = value_->children;
  if (!children || index >= children->count) return JsonPtr();
  return children->slots[index];
}

std::size_t JsonPtr::Size() const {
  if (!value_) return 0;
  Decode(value_);
  return value_->children ? value_->children->count : 0;
}

std::u16string JsonPtr::AsString() const {
  if (!value_) return std::u16string();
  Decode(value_);
  return value_->text;
}

double JsonPtr::AsDouble() const {
  if (!value_) return 0.0;
  Decode(value_);
  switch (value_->kind) {
    case JsonKind::Null:
      return 0.0;
    case JsonKind::Boolean:
      return value_->boolValue ? 1.0 : 0.0;
    case JsonKind::String:
      return ParseNumberPrefix(value_->text);
    default:
      return value_->number;
  }
}

std::int64_t JsonPtr::AsInt64() const {
  // Saturates instead of the undefined conversion of NaN or of values
  // outside the 64-bit range (a peer can send 1e300).
  double v = AsDouble();
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

void JsonPtr::SetName(const std::u16string& name) {
  if (!value_) return;
  value_->name = name;
  value_->nameEscaped = true;
}

namespace {

void SetNumber(JsonValue* value, double number, std::u16string text) {
  if (value->children) {
    JsonChildren* children = value->children;
    value->children = nullptr;
    FreeChildren(children);
  }
  value->kind = JsonKind::Number;
  value->number = number;
  value->text = std::move(text);
  value->textEscaped = false;
  value->decoded = true;
}

std::u16string Digits(std::int64_t v) {
  std::string digits = std::to_string(v);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

void JsonPtr::SetInt(std::int32_t v) {
  if (value_) SetNumber(value_, v, Digits(v));
}

void JsonPtr::SetUInt(std::uint32_t v) {
  if (value_) SetNumber(value_, v, Digits(v));
}

void JsonPtr::SetDouble(double v) {
  if (value_) SetNumber(value_, v, FormatDouble(v));
}

JsonPtr JsonPtr::ToArray() const {
  JsonKind kind = Kind();
  if (kind == JsonKind::Array) return *this;
  if (kind != JsonKind::Object) return JsonNew(JsonKind::Array);
  JsonPtr copy(DeepCopy(value_));
  copy->kind = JsonKind::Array;
  JsonChildren* children = copy->children;
  for (std::uint32_t i = 0; children && i < children->count; ++i) {
    children->slots[i].Detach();
    children->slots[i]->name.clear();
    children->slots[i]->nameEscaped = false;
  }
  return copy;
}

JsonPtr JsonNew(JsonKind kind) {
  JsonPtr value(NewValue());
  value->kind = kind;
  value->decoded = true;
  if (kind == JsonKind::Array || kind == JsonKind::Object) value->children = new JsonChildren;
  return value;
}

JsonPtr JsonNewString(const std::u16string& name, const std::u16string& text) {
  JsonPtr value(NewValue());
  value->kind = JsonKind::String;
  value->name = name;
  value->nameEscaped = true;
  value->text = text;
  value->textEscaped = true;
  value->decoded = true;
  return value;
}
