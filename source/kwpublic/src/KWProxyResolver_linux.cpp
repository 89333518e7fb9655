#include <proxy.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "KWLogger.h"
#include "KWProxyResolver.h"

namespace {

// The longest wait for libproxy, which may be fetching a PAC file.
const int kLookupLimitS = 10;

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

// One lookup handed to a thread of its own: libproxy fetches a PAC file
// without any time limit, and a server that never answers must not hold
// the connection check or a transfer (nor the quit that waits for them).
struct Lookup {
  std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_finished = false;
  bool m_failed = false;
  std::vector<std::string> m_proxies;
};

// Set while a lookup that ran out of time is still inside libproxy, which
// takes one lookup at a time: the next ones would only queue up behind it.
std::atomic<bool> g_lookupStuck{false};

void RunLookup(const std::shared_ptr<Lookup>& lookup, const std::string& url) {
  char** proxies = Factory() != nullptr ? px_proxy_factory_get_proxies(Factory(), url.c_str()) : nullptr;
  std::vector<std::string> found;
  for (char** entry = proxies; entry != nullptr && *entry != nullptr; ++entry) {
    std::string proxy;
    if (AsCurlProxy(*entry, proxy)) found.push_back(proxy);
  }
  if (proxies != nullptr) px_proxy_factory_free_proxies(proxies);
  {
    std::lock_guard<std::mutex> lock(lookup->m_mutex);
    lookup->m_finished = true;
    lookup->m_failed = proxies == nullptr;
    lookup->m_proxies.swap(found);
    // Under the lookup's lock: a caller that gave up on it set the flag
    // under the same lock.
    g_lookupStuck = false;
  }
  lookup->m_done.notify_all();
}

KWProxyRoute FromLibproxy(const std::string& url) {
  KWProxyRoute route;
  if (g_lookupStuck) return route;
  const std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
  try {
    std::thread(RunLookup, lookup, url).detach();
  } catch (const std::system_error&) {
    KWLOG("network: no thread for the proxy lookup; connecting directly");
    return route;
  }
  std::unique_lock<std::mutex> lock(lookup->m_mutex);
  if (!lookup->m_done.wait_for(lock, std::chrono::seconds(kLookupLimitS), [&] { return lookup->m_finished; })) {
    g_lookupStuck = true;
    KWLOG("network: the proxy settings gave no answer within %d s; connecting directly until they do", kLookupLimitS);
    return route;
  }
  if (lookup->m_failed) {
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) KWLOG("network: libproxy could not read the proxy settings; connecting directly");
  }
  route.m_proxies = lookup->m_proxies;
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
