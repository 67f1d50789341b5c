#pragma once

// QR codes made by libqrencode, as a plain grid of modules that the window
// draws into an image and batch mode prints on a terminal.

#include <string>
#include <vector>

namespace kelvane {

struct TQRMatrix {
  int Width = 0;           // modules per side
  std::vector<bool> Dark;  // row by row, Width * Width

  bool At(int x, int y) const { return Dark[static_cast<size_t>(y) * static_cast<size_t>(Width) + static_cast<size_t>(x)]; }
};

// The QR code of `text` at error correction level M, in the smallest version
// that holds it (runs of digits and capitals in their denser modes, the rest
// as 8-bit data, letter case kept). False, with the reason in `error`, when the
// text is too long for any version.
bool EncodeQRCode(const std::string& text, TQRMatrix& matrix, std::string& error);

// The code for a terminal with light text on a dark background: a light
// module is a block, a dark one a blank, two rows of modules per line (upper
// and lower half blocks), inside a light quiet zone of four modules.
std::string QRCodeAsText(const TQRMatrix& matrix);

}  // namespace kelvane
