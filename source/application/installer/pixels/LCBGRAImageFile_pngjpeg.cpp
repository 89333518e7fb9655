// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <setjmp.h>

#include "LCBGRAImageFile.h"

namespace {

bool DecodePNG(const unsigned char* bytes, size_t size, LCBGRAImage& image) {
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes, size)) return false;
  png.format = PNG_FORMAT_RGBA;
  if (png.width == 0 || png.height == 0 || png.width > 16384 || png.height > 16384) {
    png_image_free(&png);
    return false;
  }
  image.Allocate(png.width, png.height);
  if (!png_image_finish_read(&png, nullptr, image.GetData(), 0, nullptr)) {
    png_image_free(&png);
    image.Allocate(0, 0);
    return false;
  }
  return true;
}

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void OnJpegError(j_common_ptr info) { longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

// Kept free of C++ objects with destructors between setjmp and longjmp.
bool DecodeJPEG(const unsigned char* bytes, size_t size, LCBGRAImage& image, std::vector<unsigned char>& row) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = OnJpegError;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    image.Allocate(0, 0);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  if (info.output_width == 0 || info.output_height == 0 || info.output_width > 16384 || info.output_height > 16384 ||
      info.output_components != 3) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  image.Allocate(info.output_width, info.output_height);
  row.resize(static_cast<size_t>(info.output_width) * 3);
  while (info.output_scanline < info.output_height) {
    unsigned char* to = image.GetData() + static_cast<size_t>(info.output_scanline) * info.output_width * 4;
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
    for (unsigned int c = 0; c < info.output_width; ++c) {
      to[c * 4 + 0] = row[c * 3 + 0];
      to[c * 4 + 1] = row[c * 3 + 1];
      to[c * 4 + 2] = row[c * 3 + 2];
      to[c * 4 + 3] = 255;
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

bool LCDecodeBGRAImage(const unsigned char* bytes, size_t size, LCBGRAImage& image) {
  image.Allocate(0, 0);
  if (!bytes || size < 8) return false;
  if (png_sig_cmp(bytes, 0, 8) == 0) return DecodePNG(bytes, size, image);
  if (bytes[0] == 0xFF && bytes[1] == 0xD8) {
    std::vector<unsigned char> row;
    return DecodeJPEG(bytes, size, image, row);
  }
  return false;
}

bool LCSaveBGRAImageAsPNG(const LCBGRAImage& image, const KWString& path) {
  if (image.IsEmpty()) return false;
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = image.GetWidth();
  png.height = image.GetHeight();
  png.format = PNG_FORMAT_RGBA;
  return png_image_write_to_file(&png, path.c_str(), 0, image.GetData(), 0, nullptr) != 0;
}
