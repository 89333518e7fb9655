// The installer's pictures and the application icon from the bundle, and the
// pixel layouts between AppKit's representations and the core's BGRA frames.
#import <AppKit/AppKit.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"

namespace {

// A 16-bit sample in the host's order unless the format names one.
inline unsigned int Sample16(const unsigned char* at, int order) {
  if (order > 0) return static_cast<unsigned int>(at[0]) << 8 | at[1];  // big-endian
  if (order < 0) return static_cast<unsigned int>(at[1]) << 8 | at[0];  // little-endian
  uint16_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// One sample scaled to 8 bits, rounded; order is 0 for 8-bit samples' host
// order, else as for Sample16.
inline unsigned int Sample8(const unsigned char* at, bool sixteen, int order) {
  if (!sixteen) return at[0];
  return (Sample16(at, order) * 255u + 32767u) / 65535u;
}

// 16-bit premultiplied colour is divided at full precision, then scaled.
inline unsigned int Unpremultiplied16(const unsigned char* colour, const unsigned char* alpha, int order) {
  const unsigned int c = Sample16(colour, order);
  const unsigned int a = Sample16(alpha, order);
  if (a == 0) return 0;
  const unsigned int straight = std::min(65535u, (c * 65535u + a / 2) / a);
  return (straight * 255u + 32767u) / 65535u;
}

// The file's bytes decoded by AppKit, in whatever layout its decoder chose,
// into the core's layout (MLCBitmapToBGRA).
LCBGRAImage DecodeBGRAImage(const std::vector<unsigned char>& bytes, const char* fileName) {
  MKWAutoReleasePoolWrapper pool;
  NSData* data = bytes.empty() ? nil
                               : [NSData dataWithBytesNoCopy:const_cast<unsigned char*>(bytes.data())
                                                      length:bytes.size()
                                                freeWhenDone:NO];
  NSBitmapImageRep* rep = data ? [NSBitmapImageRep imageRepWithData:data] : nil;
  LCBGRAImage image = MLCBitmapToBGRA(rep);
  if (image.IsEmpty()) {
    KWLOG("Error - unsupported samplesPerPixel:%d for file:%s", rep ? static_cast<int>([rep samplesPerPixel]) : 0,
          fileName);
  }
  return image;
}

}  // namespace

// A file of the bundle's Contents/Resources, found from the executable (the
// bundle lookup does not find a bundle laid out by hand on GNUstep).
KWPath MLCResourcePath(const char* fileName) {
  return KWFileUtil::GetCurrentExecutablePath()
      .AppendNew("Contents")
      .Append("Resources")
      .Append(fileName, KWPath::kKWPathKindFile);
}

NSImage* MLCLoadApplicationIcon() {
  // Read once for the Dock, the windows' icons and every box: each reading
  // decodes every size of the file, up to 512 pixels.
  static NSImage* const icon = []() -> NSImage* {
    NSImage* read = MLCLoadResourceImage("clipvane.icns");
    if (!read || ![[read representations] count]) {
      KWLOG("UI: the application icon %s could not be read", MLCResourcePath("clipvane.icns").c_str());
      return nil;
    }
    return [read retain];
  }();
  return icon;
}

LCBGRAImage MLCBitmapToBGRA(NSBitmapImageRep* rep) {
  LCBGRAImage image;
  if (!rep) return image;
  const NSInteger width = [rep pixelsWide];
  const NSInteger height = [rep pixelsHigh];
  const NSInteger samples = [rep samplesPerPixel];
  const NSInteger bits = [rep bitsPerSample];
  const bool alpha = [rep hasAlpha];
  const NSInteger colours = samples - (alpha ? 1 : 0);
  // NSBitmapFormatAlphaFirst, …AlphaNonpremultiplied, …FloatingPointSamples
  // (NSAlphaFirstBitmapFormat and so on before 10.12: the same values).
  const NSUInteger format = static_cast<NSUInteger>([rep bitmapFormat]);
  const bool alphaFirst = alpha && (format & (1u << 0));
  const bool premultiplied = alpha && !(format & (1u << 1));
  if ((colours != 1 && colours != 3) || (bits != 8 && bits != 16) || (format & (1u << 2)) || width <= 0 ||
      height <= 0) {
    return image;
  }
  const bool sixteen = bits == 16;
  // NSBitmapFormatSixteenBitLittleEndian, …BigEndian (10.10): else the host's order.
  const int order = (format & (1u << 9)) ? 1 : (format & (1u << 8)) ? -1 : 0;
  const NSInteger sampleBytes = bits / 8;
  // Meshed: one plane, samples side by side, a pixel every bitsPerPixel
  // (32 for RGB with a padding byte); planar: a plane for each sample.
  unsigned char* planes[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  if (samples > 5) return image;
  [rep getBitmapDataPlanes:planes];
  const bool planar = [rep isPlanar];
  const NSInteger pixelBytes = planar ? sampleBytes : [rep bitsPerPixel] / 8;
  if (!planes[0] || pixelBytes < (planar ? 1 : samples) * sampleBytes) return image;
  const NSInteger rowBytes = [rep bytesPerRow];
  // Where each of red, green, blue and alpha is: the plane and the offset in the pixel.
  struct Place {
    int plane;
    NSInteger offset;
  } places[4];
  const int firstColour = alphaFirst ? 1 : 0;
  for (int c = 0; c < 3; ++c) {
    const int index = firstColour + (colours == 1 ? 0 : c);
    places[c] = planar ? Place{index, 0} : Place{0, index * sampleBytes};
  }
  const int alphaIndex = alpha ? (alphaFirst ? 0 : static_cast<int>(samples) - 1) : -1;
  if (alpha) places[3] = planar ? Place{alphaIndex, 0} : Place{0, alphaIndex * sampleBytes};
  for (const Place& place : places) {
    if (planar && (place.plane < 0 || place.plane >= samples || !planes[place.plane])) return image;
  }
  image.Allocate(static_cast<unsigned int>(width), static_cast<unsigned int>(height));
  for (NSInteger row = 0; row < height; ++row) {
    unsigned char* target = image.GetData() + row * width * 4;
    for (NSInteger column = 0; column < width; ++column, target += 4) {
      auto at = [&](const Place& place) {
        return planes[place.plane] + row * rowBytes + column * pixelBytes + place.offset;
      };
      const unsigned int a = alpha ? Sample8(at(places[3]), sixteen, order) : 255;
      for (int c = 0; c < 3; ++c) {
        unsigned int value = Sample8(at(places[c]), sixteen, order);
        // The blend takes straight colour.
        if (premultiplied && a != 255) {
          value = sixteen ? Unpremultiplied16(at(places[c]), at(places[3]), order)
                          : (a == 0 ? 0 : std::min(255u, (value * 255u + a / 2) / a));
        }
        target[c] = static_cast<unsigned char>(value);
      }
      target[3] = static_cast<unsigned char>(a);
    }
  }
  return image;
}

NSBitmapImageRep* MLCNewRGBARep(unsigned char* data, unsigned int width, unsigned int height) {
  unsigned char* planes[1] = {data};
  return [[NSBitmapImageRep alloc] initWithBitmapDataPlanes:data ? planes : NULL
                                                 pixelsWide:width
                                                 pixelsHigh:height
                                              bitsPerSample:8
                                            samplesPerPixel:4
                                                   hasAlpha:YES
                                                   isPlanar:NO
                                             colorSpaceName:NSDeviceRGBColorSpace
                                                bytesPerRow:width * 4
                                               bitsPerPixel:32];
}

NSImage* MLCImageFromBGRA(const LCBGRAImage& pixels, NSSize size) {
  if (pixels.IsEmpty()) return nil;
  const unsigned int width = pixels.GetWidth();
  const unsigned int height = pixels.GetHeight();
  NSBitmapImageRep* rep = [MLCNewRGBARep(NULL, width, height) autorelease];
  // This form of the representation holds premultiplied colour.
  const unsigned char* from = pixels.GetData();
  unsigned char* to = [rep bitmapData];
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i, from += 4, to += 4) {
    for (int c = 0; c < 3; ++c) to[c] = static_cast<unsigned char>((from[c] * from[3] + 127) / 255);
    to[3] = from[3];
  }
  NSImage* image = [[[NSImage alloc] initWithSize:size] autorelease];
  [image addRepresentation:rep];
  return image;
}

NSImage* MLCLoadResourceImage(const char* fileName) {
  const KWString path = MLCResourcePath(fileName).GetPathAsKWString();
  return [[[NSImage alloc] initWithContentsOfFile:MLCToNSString(path)] autorelease];
}

NSString* MLCToNSString(const KWString& text) {
  NSString* string = [NSString stringWithUTF8String:text.c_str()];
  return string ? string : @"";
}

void LCInstallerUICore::LoadUIAssets() {
  const KWPath folder =
      KWFileUtil::GetCurrentExecutablePath().AppendNew("Contents").Append("Resources").Append("installer");
  KWLOG("Assets folder root: %s", folder.c_str());
  LoadAssetsFromFolder(folder, DecodeBGRAImage);
}
