// What the fuzz targets share: a check that stops the run where a property
// breaks, a split of a stream into pieces chosen by the input (so every
// target sees its bytes arrive the way a socket may deliver them), and a
// record of the largest single allocation made while a parser ran.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Piece sizes from a 32-bit seed: mostly small, now and then large, the
// same seed always giving the same split.
class Chunker {
 public:
  explicit Chunker(std::uint32_t seed) : state_(seed | 1u) {}
  std::size_t Next(std::size_t left) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    std::size_t n = (state_ & 7) == 0 ? state_ % 4096 : state_ % 24;
    return std::min<std::size_t>(std::max<std::size_t>(n, 1), left);
  }

 private:
  std::uint32_t state_;
};

inline std::uint32_t ReadSeed(const std::uint8_t*& data, std::size_t& size) {
  std::uint32_t seed = 0;
  for (int i = 0; i < 4 && size > 0; ++i, ++data, --size) seed = seed << 8 | *data;
  return seed;
}

// While a Watch lives, Largest() is the biggest single allocation seen.
class AllocationWatch {
 public:
  AllocationWatch() {
    Installed();
    Largest() = 0;
    Active() = true;
  }
  ~AllocationWatch() { Active() = false; }
  std::size_t LargestSoFar() const { return Largest(); }

 private:
  static std::size_t& Largest() {
    static std::size_t largest = 0;
    return largest;
  }
  static bool& Active() {
    static bool active = false;
    return active;
  }
  static void OnMalloc(const volatile void*, std::size_t size) {
    if (Active()) Largest() = std::max(Largest(), size);
  }
  static void OnFree(const volatile void*) {}
  static void Installed() {
    static const bool once = [] {
      __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
      return true;
    }();
    (void)once;
  }
};

}  // namespace fuzz
