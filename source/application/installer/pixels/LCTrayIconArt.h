// The menu-bar icon with the download's progress drawn over it, shared by
// every windowing layer.
//
//   LCBGRAImage shown = LCDrawIconProgress(icon, 40);   // bar 40 % filled
#pragma once

#include "LCBGRAImage.h"

// A copy of the icon with a thin progress bar along its bottom edge: a dark
// track across the whole width, filled from the left in proportion to
// percent (held to 0..100). A negative percent gives the plain icon.
LCBGRAImage LCDrawIconProgress(const LCBGRAImage& icon, int percent);

// The picture scaled to width x height (each target pixel the average of the
// source pixels it covers), for a tray that asks for another size.
LCBGRAImage LCScaleImage(const LCBGRAImage& image, unsigned int width, unsigned int height);
