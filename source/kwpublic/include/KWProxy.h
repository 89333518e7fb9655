// The route to a URL: which proxy, if any, the system's settings name for
// it. One answer serves the connection check and every transfer, so that
// both take the same way out.
//
//   const KWProxyRoute route = KWProxy::RouteForURL("https://example.com/a");
//   if (!route.IsDirect()) ... route.Proxy() ...  // "http://proxy:3128"
//   KWProxy::ApplyToCurlHandle(curl, url);  // the same, as libcurl options
//
// Where the answer comes from is the platform's (KWProxyResolver_*.cpp):
// on Linux the usual variables (https_proxy, http_proxy, all_proxy,
// no_proxy) as libcurl reads them, and where they name no proxy, the
// desktop's settings and automatic configuration through libproxy; on macOS
// the network settings, automatic configuration included (a program
// started from the Finder has no proxy variables at all).
#pragma once

#include <string>
#include <vector>

#include "KWString.h"

struct KWProxyRoute {
  // The proxies for the URL in the order the settings give them, each in
  // libcurl's form ("[scheme://][user:password@]host[:port]"); an empty
  // string stands for a direct connection. Only the first is used: libcurl
  // takes one proxy per transfer. No entry at all: direct.
  std::vector<std::string> m_proxies;
  // A route read from the variables keeps them for the hosts a redirect
  // leads to, which libcurl then judges one by one; for the URL itself its
  // judgement is m_proxies. Empty for every other source.
  std::string m_environmentProxy;
  std::string m_environmentNoProxy;

  bool IsDirect() const { return m_proxies.empty() || m_proxies.front().empty(); }
  // The proxy used, or an empty string for a direct connection.
  std::string Proxy() const { return IsDirect() ? std::string() : m_proxies.front(); }
};

namespace KWProxy {

// Reads the system's settings at every call: they may change while we run.
// May block while an automatic configuration is fetched (bounded on macOS).
KWProxyRoute RouteForURL(const KWString& url);

// Sets CURLOPT_PROXY and CURLOPT_NOPROXY from the route, always
// explicitly, so that libcurl's own reading of the variables never decides
// differently (and macOS, which has none, behaves the same).
void ApplyRoute(void* curl, const KWProxyRoute& route);
// RouteForURL, then ApplyRoute.
void ApplyToCurlHandle(void* curl, const KWString& url);

// Logs a 407 from the proxy, which otherwise looks like any failed transfer;
// `layer` starts the line. True when there was one.
bool LogProxyRefusal(void* curl, const char* layer, const KWString& url);

// Helpers shared by the platforms, public for their tests.

// The host (without brackets) and port of a URL; the port defaults to the
// scheme's (80 for http, 443 for https). False when there is no host.
bool SplitURL(const KWString& url, std::string& scheme, std::string& host, int& port);

// Whether the running libcurl, given `proxy` and the exempt hosts `noProxy`
// (its comma-separated list, as no_proxy holds it), would reach the URL
// directly. Asked of libcurl itself, without touching the network, so that
// the answer is the transfers' at whatever version runs.
bool LibcurlGoesDirect(const KWString& url, const std::string& noProxy);

// The host and port a proxy string connects to; the port defaults to
// libcurl's (1080, or 443 for an "https://" proxy). False when unusable.
bool SplitProxy(const KWString& proxy, std::string& host, int& port);

}  // namespace KWProxy
