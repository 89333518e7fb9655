// Reading and writing pictures for builds without AppKit. The colour bytes
// come out as red, green, blue, alpha, the order AppKit's bitmaps use.
#pragma once

#include "KWString.h"
#include "LCBGRAImage.h"

// Decodes a PNG (any colour type) or a JPEG (by its first bytes). False and an
// empty image when the file is missing or cannot be decoded.
bool LCLoadBGRAImageFromFile(const KWString& path, LCBGRAImage& image);
// Writes the image as an RGBA PNG. False when it cannot be written.
bool LCSaveBGRAImageAsPNG(const LCBGRAImage& image, const KWString& path);
