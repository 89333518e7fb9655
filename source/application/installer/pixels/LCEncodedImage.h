// LCEncodedImage: a picture held as its file's bytes (a few tens of
// kilobytes) and decoded only while it is needed (a full-frame slide is
// 868 x 592 x 4 bytes at 1x, four times that at 2x).
//
//   LCEncodedImage slide(std::move(jpegBytes), decoder, "installer_ui_2.jpg");
//   frame.Copy(slide.Pixels(), 0, 0);   // decodes once, then keeps the pixels
//   slide.Release();                    // until they are let go
#pragma once

#include <string>
#include <vector>

#include "LCBGRAImage.h"

class LCEncodedImage {
 public:
  // Decodes a PNG or a JPEG file's bytes; an empty image when it cannot.
  // fileName names the picture in the log.
  typedef LCBGRAImage (*Decoder)(const std::vector<unsigned char>& bytes, const char* fileName);

  LCEncodedImage() = default;
  LCEncodedImage(std::vector<unsigned char> bytes, Decoder decoder, std::string fileName);
  // A picture made in memory: it has no bytes to decode again, so it is never released.
  explicit LCEncodedImage(LCBGRAImage pixels);

  // The pixels, decoded now when they are not held.
  const LCBGRAImage& Pixels();
  // A fresh decoding that leaves what is held alone.
  LCBGRAImage Decode() const;
  // Lets the decoded pixels go when they can be decoded again.
  void Release();
  bool IsDecoded() const { return m_decoded; }

 private:
  std::vector<unsigned char> m_bytes;
  Decoder m_decoder = nullptr;
  std::string m_fileName;
  LCBGRAImage m_pixels;
  bool m_decoded = false;
};
