// Reading and writing pictures for builds without AppKit. The colour bytes
// come out as red, green, blue, alpha, the order AppKit's bitmaps use.
#pragma once

#include <cstddef>

#include "KWString.h"
#include "LCBGRAImage.h"

// Decodes a PNG (any colour type) or a JPEG file's bytes (told apart by the
// first bytes). False and an empty image when they cannot be decoded.
bool LCDecodeBGRAImage(const unsigned char* bytes, size_t size, LCBGRAImage& image);
// Writes the image as an RGBA PNG. False when it cannot be written.
bool LCSaveBGRAImageAsPNG(const LCBGRAImage& image, const KWString& path);
