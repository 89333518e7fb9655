// The proxy the system's settings name for a URL. On Linux these are the
// usual variables (https_proxy, http_proxy, all_proxy, no_proxy, in either
// case); on macOS the network settings (a program started from the Finder
// has no proxy variables at all).
//
//   const KWProxySetting proxy = KWProxy::GetProxyForURL("https://example.com/a");
//   if (!proxy.m_proxy.empty()) ...  // "http://proxy:3128", else direct
//   KWProxy::ApplyToCurlHandle(curl, url);  // the same, as libcurl options
#pragma once

#include "KWString.h"

struct KWProxySetting {
  // libcurl's proxy string ("[scheme://][user:password@]host[:port]"), or
  // empty for a direct connection.
  KWString m_proxy;
  // The hosts that never go through a proxy, as libcurl's comma-separated
  // list, for the hosts a redirect may lead to; empty when there are none.
  KWString m_noProxy;
};

namespace KWProxy {

// Reads the system's settings at every call: they may change while we run.
KWProxySetting GetProxyForURL(const KWString& url);

// Sets CURLOPT_PROXY (the system's proxy for the URL's scheme) and
// CURLOPT_NOPROXY (its exempt hosts), always explicitly, so that libcurl's
// own reading of the variables never decides differently (and macOS, which
// has none, behaves the same). libcurl then decides for every request,
// redirects included, which host goes through the proxy.
void ApplyToCurlHandle(void* curl, const KWString& url);

// Logs a 407 from the proxy, which otherwise looks like any failed transfer;
// `layer` starts the line. True when there was one.
bool LogProxyRefusal(void* curl, const char* layer, const KWString& url);

// Helpers shared by the platforms, public for their tests.

// The host (without brackets) and port of a URL; the port defaults to the
// scheme's (80 for http, 443 for https). False when there is no host.
bool SplitURL(const KWString& url, std::string& scheme, std::string& host, int& port);

// Whether a no_proxy list exempts a host, as the oldest libcurl we run with
// (7.54.0) matches it, for the one check that libcurl does not make (the
// connection test): "*" as the whole list exempts every host; entries are
// split at commas and spaces; an entry, with or without one leading dot,
// exempts the host of that name and every host under it ("example.com" and
// ".example.com" both exempt "www.example.com", never "notexample.com"),
// ignoring case. An address is matched as text, like a name; ports, "*."
// and "/bits" mean nothing.
bool IsExempt(const std::string& host, const std::string& noProxy);

// The host and port a proxy string connects to; the port defaults to
// libcurl's (1080, or 443 for an "https://" proxy). False when unusable.
bool SplitProxy(const KWString& proxy, std::string& host, int& port);

}  // namespace KWProxy
