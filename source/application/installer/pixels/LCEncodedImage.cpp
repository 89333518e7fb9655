#include "LCEncodedImage.h"

#include <utility>

LCEncodedImage::LCEncodedImage(std::vector<unsigned char> bytes, Decoder decoder, std::string fileName)
    : m_bytes(std::move(bytes)), m_decoder(decoder), m_fileName(std::move(fileName)) {}

LCEncodedImage::LCEncodedImage(LCBGRAImage pixels) : m_pixels(std::move(pixels)), m_decoded(true) {}

const LCBGRAImage& LCEncodedImage::Pixels() {
  if (!m_decoded) {
    m_pixels = Decode();
    m_decoded = true;
  }
  return m_pixels;
}

LCBGRAImage LCEncodedImage::Decode() const {
  if (!m_decoder) return m_pixels;
  return m_decoder(m_bytes, m_fileName.c_str());
}

void LCEncodedImage::Release() {
  if (!m_decoder) return;
  m_pixels = LCBGRAImage();
  m_decoded = false;
}
