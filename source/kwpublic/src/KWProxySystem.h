// The part of the proxy lookup that differs between systems: reading the
// settings. Matching a URL against them is shared (KWProxy.cpp).
#pragma once

#include <string>

struct KWProxySystemSettings {
  // The proxy for the scheme, in libcurl's form; empty when none is set.
  std::string m_proxy;
  // Exempt hosts, as libcurl's comma-separated no-proxy list.
  std::string m_noProxy;
  // Host names without a dot ("intranet") never go through the proxy.
  bool m_excludeSimpleHostnames = false;
};

namespace KWProxySystem {
// `scheme` is lower case ("http", "https").
KWProxySystemSettings Read(const std::string& scheme);
}  // namespace KWProxySystem
