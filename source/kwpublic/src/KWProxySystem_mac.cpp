#include <CoreFoundation/CoreFoundation.h>
#include <SystemConfiguration/SystemConfiguration.h>

#include <algorithm>
#include <string>

#include "KWProxySystem.h"

namespace {

bool IntValue(CFDictionaryRef settings, CFStringRef key, int& value) {
  const CFTypeRef number = CFDictionaryGetValue(settings, key);
  if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID()) return false;
  return CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberIntType, &value);
}

std::string StringValue(CFTypeRef text) {
  if (text == nullptr || CFGetTypeID(text) != CFStringGetTypeID()) return std::string();
  const CFStringRef string = static_cast<CFStringRef>(text);
  const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  std::string buffer(static_cast<size_t>(capacity), '\0');
  if (!CFStringGetCString(string, &buffer[0], capacity, kCFStringEncodingUTF8)) return std::string();
  buffer.resize(buffer.find('\0'));
  return buffer;
}

// The settings write networks short ("169.254/16") and names with a wild
// card ("*.local"); libcurl's list wants "169.254.0.0/16" and ".local".
std::string ExceptionAsNoProxyEntry(std::string entry) {
  if (entry.compare(0, 2, "*.") == 0) return entry.substr(1);
  const size_t slash = entry.find('/');
  const std::string address = entry.substr(0, slash);
  if (slash == std::string::npos || address.find_first_not_of("0123456789.") != std::string::npos) return entry;
  std::string padded = address;
  for (size_t dots = std::count(address.begin(), address.end(), '.'); dots < 3; ++dots) padded += ".0";
  return padded + entry.substr(slash);
}

}  // namespace

KWProxySystemSettings KWProxySystem::Read(const std::string& scheme) {
  KWProxySystemSettings result;
  const CFDictionaryRef settings = SCDynamicStoreCopyProxies(nullptr);
  if (settings == nullptr) return result;
  const bool secure = scheme == "https";
  int enabled = 0;
  if (IntValue(settings, secure ? kSCPropNetProxiesHTTPSEnable : kSCPropNetProxiesHTTPEnable, enabled) && enabled) {
    std::string host =
        StringValue(CFDictionaryGetValue(settings, secure ? kSCPropNetProxiesHTTPSProxy : kSCPropNetProxiesHTTPProxy));
    int port = 0;
    IntValue(settings, secure ? kSCPropNetProxiesHTTPSPort : kSCPropNetProxiesHTTPPort, port);
    if (!host.empty()) {
      // Both are HTTP proxies; the secure one carries HTTPS through CONNECT.
      if (host.find(':') != std::string::npos) host = "[" + host + "]";
      result.m_proxy = "http://" + host + (port > 0 ? ":" + std::to_string(port) : std::string());
    }
  }
  const CFTypeRef exceptions = CFDictionaryGetValue(settings, kSCPropNetProxiesExceptionsList);
  if (exceptions != nullptr && CFGetTypeID(exceptions) == CFArrayGetTypeID()) {
    const CFArrayRef list = static_cast<CFArrayRef>(exceptions);
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
      const std::string entry = StringValue(CFArrayGetValueAtIndex(list, i));
      if (entry.empty()) continue;
      if (!result.m_noProxy.empty()) result.m_noProxy += ",";
      result.m_noProxy += ExceptionAsNoProxyEntry(entry);
    }
  }
  int excludeSimple = 0;
  result.m_excludeSimpleHostnames =
      IntValue(settings, kSCPropNetProxiesExcludeSimpleHostnames, excludeSimple) && excludeSimple != 0;
  CFRelease(settings);
  return result;
}
