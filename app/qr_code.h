// The pairing QR symbol (libqrencode: smallest version, level L, the whole
// text as 8-bit data, case kept) and the arithmetic of the view that draws
// it: whole-pixel modules centred in the view, the remainder left as margin.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CQRSymbol {
 public:
  CQRSymbol() = default;
  ~CQRSymbol();
  CQRSymbol(const CQRSymbol&) = delete;
  CQRSymbol& operator=(const CQRSymbol&) = delete;

  // Replaces the symbol by the encoding of text; false (and no symbol) for
  // an empty or too long text, or a build without libqrencode.
  bool Encode(const std::string& text);
  void Clear();

  bool Empty() const { return width_ == 0; }
  int Width() const { return width_; }  // modules per side, 0 without a symbol
  int Version() const { return version_; }
  bool IsDark(int row, int column) const;

 private:
  int width_ = 0;
  int version_ = 0;
  std::vector<std::uint8_t> modules_;  // row-major, bit 0 = dark
};

// Where a symbol of n modules per side goes in the view's client rectangle.
struct QrLayout {
  int module = 0;  // pixels per module side
  int x0 = 0;      // top-left corner of the first module
  int y0 = 0;
};
QrLayout ComputeQrLayout(int left, int top, int right, int bottom, int n);

// Text rows that draw the symbol with Unicode half blocks, two module rows
// per text row ("▀", "▄", "█", or a space), framed by `quiet` light modules.
// A dark module is an inked character, so the rows are meant to be printed
// dark-on-light (dark text on a light background).
std::vector<std::string> QrHalfBlockRows(const CQRSymbol& symbol, int quiet);
