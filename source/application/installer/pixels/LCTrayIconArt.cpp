#include "LCTrayIconArt.h"

#include <algorithm>

namespace {

void Fill(LCBGRAImage& image, unsigned int left, unsigned int top, unsigned int right, unsigned int bottom,
          const unsigned char (&colour)[4]) {
  for (unsigned int y = top; y < bottom; ++y) {
    unsigned char* pixel = image.GetData() + (static_cast<size_t>(y) * image.GetWidth() + left) * 4;
    for (unsigned int x = left; x < right; ++x, pixel += 4) std::copy(colour, colour + 4, pixel);
  }
}

// The top row of the bar along the bottom edge: at least two pixels high, so
// that it stays visible at 16 x 16.
unsigned int BarTop(const LCBGRAImage& icon) {
  const unsigned int barHeight = std::max(2u, icon.GetHeight() / 6);
  return icon.GetHeight() > barHeight ? icon.GetHeight() - barHeight : 0;
}

}  // namespace

const LCIconBarColours kLCIconBarInColour = {{40, 40, 40, 255}, {240, 106, 60, 255}};
const LCIconBarColours kLCIconBarTemplate = {{0, 0, 0, 80}, {0, 0, 0, 255}};

LCBGRAImage LCDrawIconProgress(const LCBGRAImage& icon, int percent, const LCIconBarColours& colours) {
  LCBGRAImage result = icon;
  if (percent < 0 || result.IsEmpty()) return result;
  percent = std::min(percent, 100);
  const unsigned int width = result.GetWidth();
  const unsigned int filled = static_cast<unsigned int>((static_cast<unsigned long>(width) * percent + 50) / 100);
  Fill(result, 0, BarTop(result), width, result.GetHeight(), colours.m_track);
  Fill(result, 0, BarTop(result), filled, result.GetHeight(), colours.m_bar);
  return result;
}

LCBGRAImage LCDrawIconBusy(const LCBGRAImage& icon, int step, const LCIconBarColours& colours) {
  LCBGRAImage result = icon;
  if (result.IsEmpty()) return result;
  const unsigned int width = result.GetWidth();
  const unsigned int lit = std::max(1u, width / 3);
  // The lit part's left edge runs from -lit to width over the steps.
  const int span = static_cast<int>(width + lit);
  const int left = ((step % kLCIconBusySteps + kLCIconBusySteps) % kLCIconBusySteps) * span / kLCIconBusySteps -
                   static_cast<int>(lit);
  const unsigned int from = static_cast<unsigned int>(std::max(0, left));
  const unsigned int to = static_cast<unsigned int>(std::min(static_cast<int>(width), left + static_cast<int>(lit)));
  Fill(result, 0, BarTop(result), width, result.GetHeight(), colours.m_track);
  if (from < to) Fill(result, from, BarTop(result), to, result.GetHeight(), colours.m_bar);
  return result;
}

LCBGRAImage LCScaleImage(const LCBGRAImage& image, unsigned int width, unsigned int height) {
  LCBGRAImage result;
  if (image.IsEmpty() || width == 0 || height == 0) return result;
  result.Allocate(width, height);
  const unsigned int sourceWidth = image.GetWidth();
  const unsigned int sourceHeight = image.GetHeight();
  for (unsigned int y = 0; y < height; ++y) {
    const unsigned int y0 = y * sourceHeight / height;
    const unsigned int y1 = std::max(y0 + 1, (y + 1) * sourceHeight / height);
    for (unsigned int x = 0; x < width; ++x) {
      const unsigned int x0 = x * sourceWidth / width;
      const unsigned int x1 = std::max(x0 + 1, (x + 1) * sourceWidth / width);
      unsigned long sum[4] = {0, 0, 0, 0};
      for (unsigned int sy = y0; sy < y1; ++sy) {
        const unsigned char* pixel = image.GetData() + (static_cast<size_t>(sy) * sourceWidth + x0) * 4;
        for (unsigned int sx = x0; sx < x1; ++sx, pixel += 4) {
          for (int c = 0; c < 4; ++c) sum[c] += pixel[c];
        }
      }
      const unsigned long count = static_cast<unsigned long>(y1 - y0) * (x1 - x0);
      unsigned char* target = result.GetData() + (static_cast<size_t>(y) * width + x) * 4;
      for (int c = 0; c < 4; ++c) target[c] = static_cast<unsigned char>((sum[c] + count / 2) / count);
    }
  }
  return result;
}
