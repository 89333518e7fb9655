// Small geometry values for the user interface.
#pragma once

#include <cstdint>

struct KWINT32Point {
  int32_t x = 0;
  int32_t y = 0;
};

struct KWUINTSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Left and top are inside, right and bottom are the first coordinates outside.
struct KWIntRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
};
