#pragma once

// The welcome window's picture, drawn in code: a server at daybreak.

#include <QPixmap>

namespace kelvane {

inline constexpr int PictureWidth = 368;
inline constexpr int PictureHeight = 275;

// The picture at 368 by 275 device-independent pixels, sharp at the given
// device pixel ratio.
QPixmap DrawWelcomePicture(qreal devicePixelRatio);

}  // namespace kelvane
