// Files of the slide-picture tests: a private folder per test, a file's
// bytes, and the pixel size a PNG's header states.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the test.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("pivaro-slides-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string FileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct PngSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Zeros unless `png` starts with the PNG signature and an IHDR chunk.
inline PngSize ReadPngSize(const std::string& png) {
  static const char kSignature[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";
  if (png.size() < 24 || png.compare(0, 16, std::string(kSignature, 16)) != 0) return {};
  auto at = [&](std::size_t i) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(png[i + k]);
    return static_cast<std::int32_t>(v);
  };
  return {at(16), at(20)};
}
