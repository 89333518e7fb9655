// The installer's pictures and the application icon from the bundle, and the
// pixel layouts between AppKit's representations and the core's BGRA frames.
#import <AppKit/AppKit.h>

#include <algorithm>

#include "KWFileUtil.h"
#include "KWLogger.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"

namespace {

// Each 3-byte pixel becomes 4 bytes, the fourth opaque.
void CopyBGRtoBGRA(const unsigned char* source, unsigned char* target, unsigned int pixels) {
  for (unsigned int i = 0; i < pixels; ++i, source += 3, target += 4) {
    target[0] = source[0];
    target[1] = source[1];
    target[2] = source[2];
    target[3] = 255;
  }
}

// Un-premultiplies one row of 8-bit RGBA in place.
void Unpremultiply(unsigned char* pixels, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i, pixels += 4) {
    const unsigned int alpha = pixels[3];
    if (alpha == 0 || alpha == 255) continue;
    for (int c = 0; c < 3; ++c) {
      pixels[c] = static_cast<unsigned char>(std::min(255u, (pixels[c] * 255u + alpha / 2) / alpha));
    }
  }
}

LCBGRAImage LoadBGRAImageFromResource(const KWPath& folder, const char* fileName) {
  MKWAutoReleasePoolWrapper pool;
  const KWPath path = folder.AppendNew(fileName, KWPath::kKWPathKindFile);
  NSImage* nsImage = [[[NSImage alloc] initWithContentsOfFile:MLCToNSString(path.GetPathAsKWString())] autorelease];
  NSBitmapImageRep* rep = nsImage ? [NSBitmapImageRep imageRepWithData:[nsImage TIFFRepresentation]] : nil;
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
  NSImage* icon = MLCLoadResourceImage("clipvane.icns");
  if (!icon || ![[icon representations] count]) {
    KWLOG("UI: the application icon %s could not be read", MLCResourcePath("clipvane.icns").c_str());
    return nil;
  }
  return icon;
}

LCBGRAImage MLCBitmapToBGRA(NSBitmapImageRep* rep) {
  LCBGRAImage image;
  const NSInteger width = rep ? [rep pixelsWide] : 0;
  const NSInteger height = rep ? [rep pixelsHigh] : 0;
  const NSInteger samples = rep ? [rep samplesPerPixel] : 0;
  if ((samples != 3 && samples != 4) || [rep bitsPerSample] != 8 || [rep isPlanar] || width <= 0 || height <= 0) {
    return image;
  }
  image.Allocate(static_cast<unsigned int>(width), static_cast<unsigned int>(height));
  // Rows may be padded; the frame's rows are tightly packed.
  const unsigned char* source = [rep bitmapData];
  const NSInteger sourceStride = [rep bytesPerRow];
  // NSBitmapFormatAlphaNonpremultiplied (NSAlphaNonpremultipliedBitmapFormat before 10.12)
  const NSUInteger kAlphaNonpremultiplied = 1 << 1;
  const bool premultiplied = samples == 4 && !([rep bitmapFormat] & kAlphaNonpremultiplied);
  for (NSInteger row = 0; row < height; ++row) {
    unsigned char* target = image.GetData() + row * width * 4;
    const unsigned char* from = source + row * sourceStride;
    if (samples == 3) {
      CopyBGRtoBGRA(from, target, static_cast<unsigned int>(width));
    } else {
      std::copy(from, from + width * 4, target);
      // The blend expects straight colour; TIFF data from AppKit is premultiplied.
      if (premultiplied) Unpremultiply(target, static_cast<unsigned int>(width));
    }
  }
  return image;
}

NSImage* MLCImageFromBGRA(const LCBGRAImage& pixels, NSSize size) {
  if (pixels.IsEmpty()) return nil;
  const unsigned int width = pixels.GetWidth();
  const unsigned int height = pixels.GetHeight();
  NSBitmapImageRep* rep = [[[NSBitmapImageRep alloc] initWithBitmapDataPlanes:NULL
                                                                   pixelsWide:width
                                                                   pixelsHigh:height
                                                                bitsPerSample:8
                                                              samplesPerPixel:4
                                                                     hasAlpha:YES
                                                                     isPlanar:NO
                                                               colorSpaceName:NSDeviceRGBColorSpace
                                                                  bytesPerRow:width * 4
                                                                 bitsPerPixel:32] autorelease];
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
  LoadAssetsFromFolder(folder, LoadBGRAImageFromResource);
}
