#include <CFNetwork/CFNetwork.h>
#include <CoreFoundation/CoreFoundation.h>

#include <string>

#include "KWLogger.h"
#include "KWProxyResolver.h"

namespace {

// An automatic configuration is fetched and run on the calling thread's run
// loop, in a mode of our own so that nothing else of that loop runs
// meanwhile; past this the transfer goes direct.
const CFTimeInterval kAutoConfigurationTimeoutS = 10.0;
const CFStringRef kAutoConfigurationMode = CFSTR("com.ostrel.clipvane.proxy-autoconfiguration");

std::string StringValue(CFTypeRef text) {
  if (text == nullptr || CFGetTypeID(text) != CFStringGetTypeID()) return std::string();
  const CFStringRef string = static_cast<CFStringRef>(text);
  const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  std::string buffer(static_cast<size_t>(capacity), '\0');
  if (!CFStringGetCString(string, &buffer[0], capacity, kCFStringEncodingUTF8)) return std::string();
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string URLText(CFTypeRef url) {
  if (url == nullptr || CFGetTypeID(url) != CFURLGetTypeID()) return StringValue(url);
  return StringValue(CFURLGetString(static_cast<CFURLRef>(url)));
}

// One entry of CFNetwork's list in libcurl's form: "" for a direct
// connection, "http://host:port" for an HTTP proxy (also the one that
// carries HTTPS, through CONNECT), "socks5://host:port". False for a kind
// libcurl does not take.
bool AsCurlProxy(CFDictionaryRef entry, std::string& proxy) {
  const CFTypeRef type = CFDictionaryGetValue(entry, kCFProxyTypeKey);
  if (type == nullptr || CFGetTypeID(type) != CFStringGetTypeID()) return false;
  if (CFEqual(type, kCFProxyTypeNone)) {
    proxy.clear();
    return true;
  }
  std::string scheme;
  if (CFEqual(type, kCFProxyTypeHTTP) || CFEqual(type, kCFProxyTypeHTTPS)) scheme = "http";
  if (CFEqual(type, kCFProxyTypeSOCKS)) scheme = "socks5";
  std::string host = StringValue(CFDictionaryGetValue(entry, kCFProxyHostNameKey));
  if (scheme.empty() || host.empty()) return false;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  int port = 0;
  const CFTypeRef number = CFDictionaryGetValue(entry, kCFProxyPortNumberKey);
  if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID()) {
    CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberIntType, &port);
  }
  proxy = scheme + "://" + host + (port > 0 ? ":" + std::to_string(port) : std::string());
  return true;
}

struct AutoConfigurationResult {
  bool m_done = false;
  CFArrayRef m_proxies = nullptr;  // retained; null after an error
  std::string m_error;
};

void AutoConfigurationDone(void* client, CFArrayRef proxies, CFErrorRef error) {
  AutoConfigurationResult* result = static_cast<AutoConfigurationResult*>(client);
  result->m_done = true;
  if (proxies != nullptr) {
    result->m_proxies = static_cast<CFArrayRef>(CFRetain(proxies));
  } else if (error != nullptr) {
    const CFStringRef description = CFErrorCopyDescription(error);
    result->m_error = StringValue(description);
    if (description != nullptr) CFRelease(description);
  }
  // Ends the CFRunLoopRunInMode below.
  CFRunLoopStop(CFRunLoopGetCurrent());
}

// Runs the configuration an entry names (a script's URL, or the script
// itself) for the target; the proxies it gives, retained, or null, logged.
CFArrayRef RunAutoConfiguration(CFDictionaryRef entry, CFURLRef target) {
  const CFTypeRef type = CFDictionaryGetValue(entry, kCFProxyTypeKey);
  AutoConfigurationResult result;
  CFStreamClientContext context = {0, &result, nullptr, nullptr, nullptr};
  CFRunLoopSourceRef source = nullptr;
  std::string where = "a script in the settings";
  if (CFEqual(type, kCFProxyTypeAutoConfigurationURL)) {
    const CFTypeRef script = CFDictionaryGetValue(entry, kCFProxyAutoConfigurationURLKey);
    if (script == nullptr || CFGetTypeID(script) != CFURLGetTypeID()) return nullptr;
    where = URLText(script);
    source = CFNetworkExecuteProxyAutoConfigurationURL(static_cast<CFURLRef>(script), target, AutoConfigurationDone,
                                                       &context);
  } else {
    const CFTypeRef script = CFDictionaryGetValue(entry, kCFProxyAutoConfigurationJavaScriptKey);
    if (script == nullptr || CFGetTypeID(script) != CFStringGetTypeID()) return nullptr;
    source = CFNetworkExecuteProxyAutoConfigurationScript(static_cast<CFStringRef>(script), target,
                                                          AutoConfigurationDone, &context);
  }
  if (source == nullptr) {
    KWLOG("network: the automatic proxy configuration (%s) could not be started; connecting directly", where.c_str());
    return nullptr;
  }
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kAutoConfigurationMode);
  const CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + kAutoConfigurationTimeoutS;
  while (!result.m_done) {
    const CFTimeInterval left = deadline - CFAbsoluteTimeGetCurrent();
    if (left <= 0) break;
    // Returns when the callback stops the loop, at the time limit, or at
    // once when the mode has nothing to run (then the loop goes round).
    if (CFRunLoopRunInMode(kAutoConfigurationMode, left, false) == kCFRunLoopRunFinished) break;
  }
  // Invalidated, a late answer never calls back into `result`.
  CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kAutoConfigurationMode);
  CFRunLoopSourceInvalidate(source);
  CFRelease(source);
  if (!result.m_done) {
    KWLOG("network: the automatic proxy configuration (%s) gave no answer within %d s; connecting directly",
          where.c_str(), static_cast<int>(kAutoConfigurationTimeoutS));
  } else if (result.m_proxies == nullptr) {
    KWLOG("network: the automatic proxy configuration (%s) failed: %s; connecting directly", where.c_str(),
          result.m_error.c_str());
  }
  return result.m_proxies;
}

// Appends the list's entries in libcurl's form, running an automatic
// configuration where one stands (its answer never holds another).
void AppendProxies(CFArrayRef list, CFURLRef target, bool mayConfigure, KWProxyRoute& route) {
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    const CFTypeRef value = CFArrayGetValueAtIndex(list, i);
    if (value == nullptr || CFGetTypeID(value) != CFDictionaryGetTypeID()) continue;
    const CFDictionaryRef entry = static_cast<CFDictionaryRef>(value);
    const CFTypeRef type = CFDictionaryGetValue(entry, kCFProxyTypeKey);
    if (type != nullptr &&
        (CFEqual(type, kCFProxyTypeAutoConfigurationURL) || CFEqual(type, kCFProxyTypeAutoConfigurationJavaScript))) {
      if (!mayConfigure) continue;
      const CFArrayRef configured = RunAutoConfiguration(entry, target);
      if (configured == nullptr) {
        // As the system's own clients do when the script fails: direct.
        route.m_proxies.push_back(std::string());
        continue;
      }
      AppendProxies(configured, target, false, route);
      CFRelease(configured);
      continue;
    }
    std::string proxy;
    if (AsCurlProxy(entry, proxy)) route.m_proxies.push_back(proxy);
  }
}

}  // namespace

KWProxyRoute KWProxyResolver::RouteForURL(const std::string& url, const std::string&) {
  KWProxyRoute route;
  const CFURLRef target = CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(url.data()),
                                               static_cast<CFIndex>(url.size()), kCFStringEncodingUTF8, nullptr);
  if (target == nullptr) return route;
  const CFDictionaryRef settings = CFNetworkCopySystemProxySettings();
  if (settings != nullptr) {
    // The exceptions, simple host names and the per-scheme proxies are
    // CFNetwork's to apply, as for every other program on the Mac.
    const CFArrayRef proxies = CFNetworkCopyProxiesForURL(target, settings);
    if (proxies != nullptr) {
      AppendProxies(proxies, target, true, route);
      CFRelease(proxies);
    }
    CFRelease(settings);
  }
  CFRelease(target);
  return route;
}
