#include <CoreFoundation/CoreFoundation.h>

#include <vector>

#include "LCDiskImageTool.h"

namespace {

std::string StringOf(CFDictionaryRef dict, const char* key) {
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  const void* value = name ? CFDictionaryGetValue(dict, name) : nullptr;
  if (name) CFRelease(name);
  if (!value || CFGetTypeID(value) != CFStringGetTypeID()) return std::string();
  CFStringRef text = static_cast<CFStringRef>(value);
  const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
  std::vector<char> buffer(static_cast<size_t>(size));
  if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return std::string();
  return std::string(buffer.data());
}

}  // namespace

KWString LCDiskImageTool::ToolPath() { return "/usr/bin/hdiutil"; }

uint64_t LCDiskImageTool::DiskNeedBytes(uint64_t imageBytes, bool imageOnDisk) {
  // hdiutil mounts the image where it is; the copy stands for the shadow and
  // caches a compressed image needs, and for what setup copies out of it.
  return (imageOnDisk ? 0 : imageBytes) + imageBytes;
}

bool LCDiskImageTool::ReadSystemEntities(const std::string& text, std::vector<LCDiskImageEntity>& entities) {
  entities.clear();
  if (text.empty()) return false;
  CFDataRef data =
      CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()), static_cast<CFIndex>(text.size()));
  if (!data) return false;
  CFPropertyListRef root =
      CFPropertyListCreateWithData(kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, nullptr);
  CFRelease(data);
  if (!root) return false;
  bool read = false;
  if (CFGetTypeID(root) == CFDictionaryGetTypeID()) {
    const void* list = CFDictionaryGetValue(static_cast<CFDictionaryRef>(root), CFSTR("system-entities"));
    if (list && CFGetTypeID(list) == CFArrayGetTypeID()) {
      read = true;
      CFArrayRef array = static_cast<CFArrayRef>(list);
      for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        const void* entry = CFArrayGetValueAtIndex(array, i);
        if (!entry || CFGetTypeID(entry) != CFDictionaryGetTypeID()) continue;
        LCDiskImageEntity entity;
        entity.device = StringOf(static_cast<CFDictionaryRef>(entry), "dev-entry");
        entity.mountPoint = StringOf(static_cast<CFDictionaryRef>(entry), "mount-point");
        if (!entity.device.empty()) entities.push_back(entity);
      }
    }
  }
  CFRelease(root);
  return read;
}
