#include "LCBGRAImage.h"

#include <algorithm>
#include <cstring>

namespace {

// For a pixel of alpha a (1..254), t * s + (1 - t) * d differs from the exact
// rational value (a * s + (255 - a) * d) / 255 by far less than 1/255, so the
// truncated single-precision result equals the integer quotient except where
// that quotient is exact: there rounding may land just below it. Those
// triples take the single-precision formula itself.
inline unsigned char BlendByte(unsigned int alpha, unsigned int source, unsigned int destination) {
  const unsigned int weighted = alpha * source + (255 - alpha) * destination;
  // weighted / 255 for weighted < 65536, without a division.
  const unsigned int quotient = (weighted * 0x8081u) >> 23;
  if (quotient * 255 != weighted) return static_cast<unsigned char>(quotient);
  return LCBGRAImage::BlendReference(static_cast<unsigned char>(alpha), static_cast<unsigned char>(source),
                                     static_cast<unsigned char>(destination));
}

}  // namespace

LCBGRAImage::LCBGRAImage(const LCBGRAImage& other) {
  if (other.m_data) Copy(other.m_data.get(), other.m_width, other.m_height);
}

LCBGRAImage& LCBGRAImage::operator=(const LCBGRAImage& other) {
  if (this == &other) return *this;
  if (!other.m_data) {
    m_data.reset();
    m_width = 0;
    m_height = 0;
  } else {
    Copy(other.m_data.get(), other.m_width, other.m_height);
  }
  return *this;
}

LCBGRAImage::LCBGRAImage(LCBGRAImage&& other) noexcept
    : m_data(std::move(other.m_data)), m_width(other.m_width), m_height(other.m_height) {
  other.m_width = 0;
  other.m_height = 0;
}

LCBGRAImage& LCBGRAImage::operator=(LCBGRAImage&& other) noexcept {
  m_data = std::move(other.m_data);
  m_width = other.m_width;
  m_height = other.m_height;
  other.m_width = 0;
  other.m_height = 0;
  return *this;
}

void LCBGRAImage::Allocate(unsigned int width, unsigned int height) {
  const size_t size = static_cast<size_t>(width) * height * 4;
  if (size == 0) {
    m_data.reset();
    m_width = 0;
    m_height = 0;
    return;
  }
  // Reuses the buffer when the size stays, which is every frame.
  if (!m_data || static_cast<size_t>(m_width) * m_height * 4 != size) m_data.reset(new unsigned char[size]);
  m_width = width;
  m_height = height;
}

void LCBGRAImage::Copy(const unsigned char* data, unsigned int width, unsigned int height) {
  Allocate(width, height);
  if (m_data && data) std::memcpy(m_data.get(), data, static_cast<size_t>(width) * height * 4);
}

unsigned char LCBGRAImage::BlendReference(unsigned char alpha, unsigned char source, unsigned char destination) {
  // Separate statements so that no compiler fuses them into one rounding step.
  const float t = static_cast<float>(alpha) / 255.0f;
  const float weightedSource = t * static_cast<float>(source);
  const float remaining = 1.0f - t;
  const float weightedDestination = remaining * static_cast<float>(destination);
  const float sum = weightedSource + weightedDestination;
  return static_cast<unsigned char>(sum);
}

unsigned char LCBGRAImage::BlendFast(unsigned char alpha, unsigned char source, unsigned char destination) {
  if (alpha == 0) return destination;
  if (alpha == 255) return source;
  return BlendByte(alpha, source, destination);
}

void LCBGRAImage::Copy(const LCBGRAImage& source, unsigned int x, unsigned int y) {
  if (IsEmpty() || source.IsEmpty()) return;
  if (x >= m_width || y >= m_height) return;
  const unsigned int columns = std::min(source.m_width, m_width - x);
  const unsigned int rows = std::min(source.m_height, m_height - y);
  // Overlays such as the disabled mask repeat one translucent colour over
  // large areas: once a source pixel repeats, its three per-destination
  // results are tabulated and looked up until the colour changes.
  uint32_t previousKey = 0;  // alpha 0 never reaches the tables
  uint32_t tableKey = 0;
  unsigned char table[3][256];
  for (unsigned int r = 0; r < rows; ++r) {
    const unsigned char* from = source.m_data.get() + static_cast<size_t>(r) * source.m_width * 4;
    unsigned char* to = m_data.get() + (static_cast<size_t>(y + r) * m_width + x) * 4;
    for (unsigned int c = 0; c < columns; ++c, from += 4, to += 4) {
      const unsigned int alpha = from[3];
      if (alpha == 0) continue;
      if (alpha == 255) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
        continue;
      }
      const uint32_t key = alpha << 24 | static_cast<uint32_t>(from[0]) << 16 | from[1] << 8 | from[2];
      if (key == previousKey && key != tableKey) {
        for (unsigned int d = 0; d < 256; ++d) {
          table[0][d] = BlendByte(alpha, from[0], d);
          table[1][d] = BlendByte(alpha, from[1], d);
          table[2][d] = BlendByte(alpha, from[2], d);
        }
        tableKey = key;
      }
      previousKey = key;
      if (key == tableKey) {
        to[0] = table[0][to[0]];
        to[1] = table[1][to[1]];
        to[2] = table[2][to[2]];
      } else {
        to[0] = BlendByte(alpha, from[0], to[0]);
        to[1] = BlendByte(alpha, from[1], to[1]);
        to[2] = BlendByte(alpha, from[2], to[2]);
      }
    }
  }
}

void LCBGRAImage::Cover(const LCBGRAImage& colour) {
  if (IsEmpty() || colour.IsEmpty()) return;
  const unsigned char* from = colour.m_data.get();
  const unsigned int alpha = from[3];
  if (alpha == 0) return;
  unsigned char table[3][256];
  for (unsigned int d = 0; d < 256; ++d) {
    for (int c = 0; c < 3; ++c) table[c][d] = alpha == 255 ? from[c] : BlendByte(alpha, from[c], d);
  }
  unsigned char* to = m_data.get();
  for (size_t i = 0; i < static_cast<size_t>(m_width) * m_height; ++i, to += 4) {
    to[0] = table[0][to[0]];
    to[1] = table[1][to[1]];
    to[2] = table[2][to[2]];
  }
}

LCBGRAImage LCBGRAImage::OneColour() const {
  LCBGRAImage colour;
  if (IsEmpty()) return colour;
  const uint32_t* pixels = reinterpret_cast<const uint32_t*>(m_data.get());
  const size_t count = static_cast<size_t>(m_width) * m_height;
  for (size_t i = 1; i < count; ++i) {
    if (pixels[i] != pixels[0]) return colour;
  }
  colour.Copy(m_data.get(), 1, 1);
  return colour;
}

LCBGRAImage LCBGRAImage::CroppedToInk(unsigned int& left, unsigned int& top) const {
  left = 0;
  top = 0;
  LCBGRAImage cropped;
  if (IsEmpty()) return cropped;
  unsigned int minX = m_width, minY = m_height, maxX = 0, maxY = 0;
  for (unsigned int r = 0; r < m_height; ++r) {
    const unsigned char* pixel = m_data.get() + static_cast<size_t>(r) * m_width * 4;
    for (unsigned int c = 0; c < m_width; ++c, pixel += 4) {
      if (pixel[3] == 0) continue;
      minX = std::min(minX, c);
      maxX = std::max(maxX, c);
      minY = std::min(minY, r);
      maxY = r;
    }
  }
  if (minX > maxX || minY > maxY) return cropped;
  const unsigned int width = maxX - minX + 1;
  cropped.Allocate(width, maxY - minY + 1);
  for (unsigned int r = 0; r < cropped.m_height; ++r) {
    std::memcpy(cropped.m_data.get() + static_cast<size_t>(r) * width * 4,
                m_data.get() + (static_cast<size_t>(minY + r) * m_width + minX) * 4, static_cast<size_t>(width) * 4);
  }
  left = minX;
  top = minY;
  return cropped;
}
