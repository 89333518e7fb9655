#include <proxy.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "KWLogger.h"
#include "KWProxyResolver.h"

namespace {

// The lower-case name first, as libcurl reads them; an empty value is unset.
// HTTP_PROXY is never read: a CGI program's environment takes it from a
// request's "Proxy:" header, so libcurl reads only http_proxy for http.
std::string Variable(const std::string& lowerName) {
  std::string upperName(lowerName);
  for (char& c : upperName) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const char* value = getenv(lowerName.c_str());
  if ((value == nullptr || value[0] == '\0') && lowerName != "http_proxy") value = getenv(upperName.c_str());
  return value != nullptr ? value : "";
}

// "pac+http://host/proxy.pac": an automatic configuration, libproxy's form.
bool IsAutoConfiguration(const std::string& value) { return value.compare(0, 4, "pac+") == 0; }

// libproxy's answer in libcurl's form: "direct://" becomes the empty string;
// a proxy of a kind libcurl does not speak is left out (false).
bool AsCurlProxy(const std::string& entry, std::string& proxy) {
  if (entry == "direct://") {
    proxy.clear();
    return true;
  }
  const size_t separator = entry.find("://");
  if (separator == std::string::npos) return false;
  std::string scheme = entry.substr(0, separator);
  // libproxy's "socks" is a SOCKS server of either version, version 5 first.
  if (scheme == "socks") scheme = "socks5";
  for (const char* known : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) {
    if (scheme == known) {
      proxy = scheme + entry.substr(separator);
      return true;
    }
  }
  return false;
}

// One for the process: it keeps a fetched automatic configuration. Never
// freed, as a transfer may ask until the very end.
pxProxyFactory* Factory() {
  static pxProxyFactory* const factory = px_proxy_factory_new();
  return factory;
}

KWProxyRoute FromLibproxy(const std::string& url) {
  KWProxyRoute route;
  char** proxies = Factory() != nullptr ? px_proxy_factory_get_proxies(Factory(), url.c_str()) : nullptr;
  if (proxies == nullptr) {
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) KWLOG("network: libproxy could not read the proxy settings; connecting directly");
    return route;
  }
  for (char** entry = proxies; *entry != nullptr; ++entry) {
    std::string proxy;
    if (AsCurlProxy(*entry, proxy)) route.m_proxies.push_back(proxy);
  }
  px_proxy_factory_free_proxies(proxies);
  return route;
}

}  // namespace

// The variables come first and are read as libcurl reads them: libproxy's
// own reading differs where people rely on libcurl's (no_proxy's "*", names
// under an entry, case, all_proxy, HTTP_PROXY), so it decides only what the
// variables leave open: an automatic configuration named in http_proxy
// ("pac+http://..."), and without any proxy variable, the desktop's and the
// system's settings.
KWProxyRoute KWProxyResolver::RouteForURL(const std::string& url, const std::string& scheme) {
  if (IsAutoConfiguration(Variable("http_proxy"))) return FromLibproxy(url);
  KWProxyRoute route;
  std::string proxy = Variable(scheme + "_proxy");
  if (proxy.empty()) proxy = Variable("all_proxy");
  if (IsAutoConfiguration(proxy)) {
    // libproxy 0.4 reads one for every scheme from http_proxy alone (and
    // crashes on one in https_proxy only).
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) {
      KWLOG("network: an automatic proxy configuration is read from http_proxy only; connecting directly");
    }
    return route;
  }
  if (!proxy.empty()) {
    route.m_environmentProxy = proxy;
    route.m_environmentNoProxy = Variable("no_proxy");
    route.m_proxies.push_back(KWProxy::LibcurlGoesDirect(KWString(url), route.m_environmentNoProxy) ? "" : proxy);
    return route;
  }
  // libproxy would take HTTP_PROXY, which libcurl deliberately ignores.
  const char* ignored = getenv("HTTP_PROXY");
  if (ignored != nullptr && ignored[0] != '\0') return route;
  return FromLibproxy(url);
}
