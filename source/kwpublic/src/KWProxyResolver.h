// The part of the route lookup that differs between systems: where the
// settings live and how an automatic configuration is run. Shared matching
// and the libcurl options are KWProxy.cpp's.
#pragma once

#include <string>

#include "KWProxy.h"

namespace KWProxyResolver {
// `url` has a host; `scheme` is its scheme in lower case ("http", "https").
// Never throws; settings that cannot be read give a direct route, logged.
KWProxyRoute RouteForURL(const std::string& url, const std::string& scheme);
}  // namespace KWProxyResolver
