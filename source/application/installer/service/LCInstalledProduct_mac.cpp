#include <CoreFoundation/CoreFoundation.h>

#include <vector>

#include "LCInstalledProduct.h"

std::string LCInstalledProduct::BundleVersionOf(const std::string& propertyList) {
  if (propertyList.empty()) return std::string();
  CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(propertyList.data()),
                                static_cast<CFIndex>(propertyList.size()));
  if (!data) return std::string();
  CFPropertyListRef root =
      CFPropertyListCreateWithData(kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, nullptr);
  CFRelease(data);
  if (!root) return std::string();
  std::string version;
  if (CFGetTypeID(root) == CFDictionaryGetTypeID()) {
    const void* value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(root), CFSTR("CFBundleVersion"));
    if (value && CFGetTypeID(value) == CFStringGetTypeID()) {
      CFStringRef text = static_cast<CFStringRef>(value);
      const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
      std::vector<char> buffer(static_cast<size_t>(size));
      if (CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) version = buffer.data();
    }
  }
  CFRelease(root);
  return version;
}
