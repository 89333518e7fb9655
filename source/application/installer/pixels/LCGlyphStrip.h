// LCGlyphStrip: a line of text set from pictures of its characters, for the
// few figures the frame shows (the download's percentage, megabytes and time
// left). The strip is one row of equal cells, a character's picture at the
// left of its cell; a character's advance is the width of its ink, its left
// bearing included, so the strip carries its own spacing.
//
//   LCGlyphStrip strip(digits, U"0123456789", 12);  // digits: a 120 x 13 picture
//   strip.DrawRightAligned(frame, "47", 585, 45);
#pragma once

#include <string>
#include <vector>

#include "LCBGRAImage.h"

class LCGlyphStrip {
 public:
  LCGlyphStrip() = default;
  // The cells in the order of characters. A strip with another number of
  // cells was drawn for other characters: it draws nothing, as an empty one.
  LCGlyphStrip(const LCBGRAImage& strip, const std::u32string& characters, unsigned int cellWidth);

  bool IsEmpty() const { return m_characters.empty(); }

  // Blends the text onto the frame with its ink from x = left on: the first
  // character's left bearing is left out, so that the text lines up with
  // what is drawn from the same x.
  void Draw(LCBGRAImage& frame, const std::string& text, unsigned int left, unsigned int top) const;
  // Blends the text onto the frame so that it ends at x = right.
  void DrawRightAligned(LCBGRAImage& frame, const std::string& text, unsigned int right, unsigned int top) const;

 private:
  // The cell of each character of the UTF-8 text, -1 for one the strip lacks.
  std::vector<int> Cells(const std::string& text) const;
  // Width in pixels; characters the strip lacks take no room.
  unsigned int Width(const std::vector<int>& cells) const;
  void DrawCells(LCBGRAImage& frame, const std::vector<int>& cells, unsigned int left, unsigned int top) const;

  std::vector<LCBGRAImage> m_glyphs;
  std::vector<unsigned int> m_advances;
  std::vector<unsigned int> m_bearings;  // the columns before a character's first ink
  std::u32string m_characters;
};
