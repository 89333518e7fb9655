// The menu-bar icon with the download's progress drawn over it, shared by
// every windowing layer.
//
//   LCBGRAImage shown = LCDrawIconProgress(icon, 40);   // bar 40 % filled
#pragma once

#include "LCBGRAImage.h"

// The bar's two colours, in the icon's byte order (red, green, blue, alpha).
struct LCIconBarColours {
  unsigned char m_track[4];
  unsigned char m_bar[4];
};
// Over a picture in colour: a dark track, the bar in the product's accent.
extern const LCIconBarColours kLCIconBarInColour;
// Over a template (black, read by its alpha alone: macOS's menu bar tints it
// for its light or dark look): a faint track and a solid bar.
extern const LCIconBarColours kLCIconBarTemplate;

// A copy of the icon with a thin progress bar along its bottom edge: the
// track across the whole width, filled from the left in proportion to
// percent (held to 0..100). A negative percent gives the plain icon.
LCBGRAImage LCDrawIconProgress(const LCBGRAImage& icon, int percent,
                               const LCIconBarColours& colours = kLCIconBarInColour);

// Steps of the moving bar, once along the icon and round again.
const int kLCIconBusySteps = 12;
// A copy of the icon with the same track and a third of its width lit, at
// step (0 .. kLCIconBusySteps - 1) of its way from the left edge to the right;
// it leaves on the right as it comes back on the left.
LCBGRAImage LCDrawIconBusy(const LCBGRAImage& icon, int step, const LCIconBarColours& colours = kLCIconBarInColour);

// The picture scaled to width x height (each target pixel the average of the
// source pixels it covers), for a tray that asks for another size.
LCBGRAImage LCScaleImage(const LCBGRAImage& image, unsigned int width, unsigned int height);
