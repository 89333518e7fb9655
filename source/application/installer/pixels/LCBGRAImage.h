// LCBGRAImage: an owned picture of 4 bytes per pixel, rows top to bottom,
// tightly packed, alpha in the last byte. The colour bytes stay in the order
// the decoder delivered them.
//
//   LCBGRAImage frame;
//   frame.Copy(slide.GetData(), slide.GetWidth(), slide.GetHeight());
//   frame.Copy(button, 365, 393);   // alpha-blends the button onto the frame
#pragma once

#include <cstdint>
#include <memory>

class LCBGRAImage {
 public:
  LCBGRAImage() = default;
  LCBGRAImage(const LCBGRAImage& other);
  LCBGRAImage& operator=(const LCBGRAImage& other);
  LCBGRAImage(LCBGRAImage&& other) noexcept;
  LCBGRAImage& operator=(LCBGRAImage&& other) noexcept;

  const unsigned char* GetData() const { return m_data.get(); }
  unsigned char* GetData() { return m_data.get(); }
  unsigned int GetWidth() const { return m_width; }
  unsigned int GetHeight() const { return m_height; }
  bool IsEmpty() const { return !m_data || m_width == 0 || m_height == 0; }
  // The buffer itself, for a window that draws straight from it: it stays
  // alive for that holder after this image has let it go or replaced it.
  std::shared_ptr<const unsigned char[]> ShareData() const { return m_data; }

  // Replaces the buffer with an uninitialised one; 0 x 0 frees it.
  void Allocate(unsigned int width, unsigned int height);
  // Replaces the buffer with a copy of width x height x 4 bytes from data.
  void Copy(const unsigned char* data, unsigned int width, unsigned int height);
  // Alpha-blends source onto this image with its top-left corner at (x, y).
  // Only the part that falls inside this image is drawn; the alpha byte of
  // this image never changes.
  void Copy(const LCBGRAImage& source, unsigned int x, unsigned int y);
  // Alpha-blends one colour (the first pixel of colour) over the whole image,
  // as Copy would blend a picture of that colour as large as this one.
  void Cover(const LCBGRAImage& colour);
  // The first pixel alone when every pixel has its value, else an empty image.
  LCBGRAImage OneColour() const;

  // The smallest part of this image that holds every pixel whose alpha is
  // not 0, with its top-left corner's place in this image. An image without
  // such a pixel gives an empty image at 0, 0.
  LCBGRAImage CroppedToInk(unsigned int& left, unsigned int& top) const;

  // The blend of one colour byte, exactly as single-precision arithmetic
  // gives it: truncation of t * source + (1 - t) * destination, t = alpha / 255.
  static unsigned char BlendReference(unsigned char alpha, unsigned char source, unsigned char destination);
  // The same value through the integer path that Copy uses.
  static unsigned char BlendFast(unsigned char alpha, unsigned char source, unsigned char destination);

 private:
  std::shared_ptr<unsigned char[]> m_data;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
};
