#include "Tessmar_uQRCode.h"

#include <qrencode.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kelvane {
namespace {

constexpr int QuietZone = 4;

struct TQRcodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

bool EncodeQRCode(const std::string& text, TQRMatrix& matrix, std::string& error) {
  const std::unique_ptr<QRcode, TQRcodeFree> code(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
  if (!code) {
    error = "No QR code holds this text: " + std::string(std::strerror(errno));
    return false;
  }
  matrix.Width = code->width;
  matrix.Dark.assign(static_cast<size_t>(code->width) * static_cast<size_t>(code->width), false);
  // libqrencode marks a dark module by the lowest bit of its byte; the other
  // bits describe what the module belongs to.
  for (size_t i = 0; i < matrix.Dark.size(); ++i) matrix.Dark[i] = (code->data[i] & 1) != 0;
  return true;
}

std::string QRCodeAsText(const TQRMatrix& matrix) {
  const int size = matrix.Width + 2 * QuietZone;
  const auto dark = [&](int x, int y) {
    x -= QuietZone;
    y -= QuietZone;
    return x >= 0 && y >= 0 && x < matrix.Width && y < matrix.Width && matrix.At(x, y);
  };
  std::string text;
  for (int y = 0; y < size; y += 2) {
    for (int x = 0; x < size; ++x) {
      const bool upperLight = !dark(x, y);
      const bool lowerLight = y + 1 < size && !dark(x, y + 1);
      if (upperLight && lowerLight) {
        text += "\u2588";
      } else if (upperLight) {
        text += "\u2580";
      } else if (lowerLight) {
        text += "\u2584";
      } else {
        text += ' ';
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace kelvane
