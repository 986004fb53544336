#include "app/qr_code.h"

#include <algorithm>

#if PIVARO_WITH_QRENCODE
#include <qrencode.h>
#endif

CQRSymbol::~CQRSymbol() = default;

void CQRSymbol::Clear() {
  width_ = 0;
  version_ = 0;
  modules_.clear();
}

bool CQRSymbol::Encode(const std::string& text) {
  Clear();
#if PIVARO_WITH_QRENCODE
  if (text.empty()) return false;  // the library refuses it anyway
  QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1);
  if (!code) return false;
  width_ = code->width;
  version_ = code->version;
  modules_.assign(code->data, code->data + static_cast<std::size_t>(width_) * width_);
  QRcode_free(code);
  return true;
#else
  (void)text;
  return false;
#endif
}

bool CQRSymbol::IsDark(int row, int column) const {
  if (row < 0 || column < 0 || row >= width_ || column >= width_) return false;
  return (modules_[static_cast<std::size_t>(row) * width_ + column] & 1) != 0;
}

QrLayout ComputeQrLayout(int left, int top, int right, int bottom, int n) {
  QrLayout layout;
  if (n <= 0) return layout;
  int w = right - left;
  int h = bottom - top;
  layout.module = std::min(w, h) / n;
  layout.x0 = (w - n * layout.module) / 2 + left;
  layout.y0 = (h - n * layout.module) / 2 + top;
  return layout;
}

std::vector<std::string> QrHalfBlockRows(const CQRSymbol& symbol, int quiet) {
  std::vector<std::string> rows;
  if (symbol.Empty()) return rows;
  int n = symbol.Width();
  int lo = -quiet;
  int hi = n + quiet;  // exclusive
  for (int r = lo; r < hi; r += 2) {
    std::string row;
    for (int c = lo; c < hi; ++c) {
      bool top = symbol.IsDark(r, c);
      bool bottom = r + 1 < hi && symbol.IsDark(r + 1, c);
      if (top && bottom) {
        row += "\u2588";
      } else if (top) {
        row += "\u2580";
      } else if (bottom) {
        row += "\u2584";
      } else {
        row += ' ';
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}
