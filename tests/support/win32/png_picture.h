// PNG files read back by the Windows tests: the signature checked, then the
// picture decoded by GDI+ into 32-bit pixels that a test can compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PngPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0xAARRGGBB, row by row
};

// False when the file is missing, is no PNG or does not decode.
bool ReadPngPicture(const std::wstring& path, PngPicture* picture);

std::size_t DistinctColours(const PngPicture& picture);
// Pixels that differ between two pictures of one size (all of them when the
// sizes differ).
std::size_t DifferingPixels(const PngPicture& a, const PngPicture& b);
