#include "LCGlyphStrip.h"

#include <algorithm>

#include "KWString.h"

namespace {

// A space has no ink to measure: a quarter of the cell, as in the strip's font.
unsigned int SpaceAdvance(unsigned int cellWidth) { return cellWidth / 4; }

// From the CJK radicals on, characters are drawn a full em wide.
const char32_t kFirstWide = 0x2E80;

}  // namespace

LCGlyphStrip::LCGlyphStrip(const LCBGRAImage& strip, const std::u32string& characters, unsigned int cellWidth)
    : m_characters(characters) {
  if (strip.IsEmpty() || cellWidth == 0 || strip.GetWidth() != characters.size() * cellWidth) {
    m_characters.clear();
    return;
  }
  const unsigned int height = strip.GetHeight();
  for (size_t cell = 0; cell < characters.size(); ++cell) {
    LCBGRAImage glyph;
    glyph.Allocate(cellWidth, height);
    unsigned int inked = 0;            // one past the rightmost column with ink
    unsigned int bearing = cellWidth;  // the leftmost column with any ink
    for (unsigned int y = 0; y < height; ++y) {
      const unsigned char* from = strip.GetData() + (static_cast<size_t>(y) * strip.GetWidth() + cell * cellWidth) * 4;
      std::copy(from, from + cellWidth * 4, glyph.GetData() + static_cast<size_t>(y) * cellWidth * 4);
      for (unsigned int x = 0; x < cellWidth; ++x) {
        if (from[x * 4 + 3] > 32) inked = std::max(inked, x + 1);
        if (from[x * 4 + 3] > 0) bearing = std::min(bearing, x);
      }
    }
    m_glyphs.push_back(glyph);
    // Latin letters keep a gap at their right inside the ink's width; a
    // CJK character's ink fills its em, and the next one would touch it.
    const unsigned int gap = characters[cell] >= kFirstWide ? cellWidth / 12 : 0;
    m_advances.push_back(inked == 0 ? SpaceAdvance(cellWidth) : inked + gap);
    m_bearings.push_back(inked == 0 ? 0 : std::min(bearing, inked - 1));
  }
}

std::vector<int> LCGlyphStrip::Cells(const std::string& text) const {
  std::vector<int> cells;
  for (char32_t code : KWString(text).GetCodePoints()) {
    const size_t found = m_characters.find(code);
    cells.push_back(found == std::u32string::npos ? -1 : static_cast<int>(found));
  }
  return cells;
}

unsigned int LCGlyphStrip::Width(const std::vector<int>& cells) const {
  unsigned int width = 0;
  for (int cell : cells) {
    if (cell >= 0) width += m_advances[cell];
  }
  return width;
}

void LCGlyphStrip::DrawCells(LCBGRAImage& frame, const std::vector<int>& cells, unsigned int left,
                             unsigned int top) const {
  unsigned int x = left;
  for (int cell : cells) {
    if (cell < 0) continue;
    frame.Copy(m_glyphs[cell], x, top);
    x += m_advances[cell];
  }
}

void LCGlyphStrip::Draw(LCBGRAImage& frame, const std::string& text, unsigned int left, unsigned int top) const {
  const std::vector<int> cells = Cells(text);
  const auto first = std::find_if(cells.begin(), cells.end(), [](int cell) { return cell >= 0; });
  const unsigned int bearing = first == cells.end() ? 0 : std::min(m_bearings[*first], left);
  DrawCells(frame, cells, left - bearing, top);
}

void LCGlyphStrip::DrawRightAligned(LCBGRAImage& frame, const std::string& text, unsigned int right,
                                    unsigned int top) const {
  const std::vector<int> cells = Cells(text);
  const unsigned int width = Width(cells);
  DrawCells(frame, cells, right > width ? right - width : 0, top);
}
