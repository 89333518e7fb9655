#include "KWProxy.h"

#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>

#include <cctype>
#include <string>

#include "KWLogger.h"
#include "KWProxySystem.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Digits only, within 1..65535.
bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  port = atoi(text.c_str());
  return port > 0 && port <= 65535;
}

// "host", "host:port", "[v6]" or "[v6]:port". A bare IPv6 address (more than
// one colon, no brackets) has no port. False for a bad port or bracket.
bool SplitHostAndPort(const std::string& text, std::string& host, int& port) {
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 == text.size()) return true;
    return text[close + 1] == ':' && ParsePort(text.substr(close + 2), port);
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon != text.rfind(':')) {
    host = text;
    return true;
  }
  host = text.substr(0, colon);
  return ParsePort(text.substr(colon + 1), port);
}

// The part after "scheme://" and an optional "user:password@", up to the path.
std::string Authority(const std::string& url, std::string& scheme) {
  std::string rest = url;
  const size_t separator = url.find("://");
  scheme.clear();
  if (separator != std::string::npos) {
    scheme = Lower(url.substr(0, separator));
    rest = url.substr(separator + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = rest.rfind('@');
  return at == std::string::npos ? rest : rest.substr(at + 1);
}

// One no_proxy entry against a host name, as libcurl 7.54.0 (the floor)
// matches it: the entry without one leading dot is a suffix of the name on a
// dot boundary, or the whole name; case does not count. Nothing else is
// special: no port, no "*." wildcard, no network for an address (an
// address is text like any name), and the name is cut at its first colon.
bool EntryExempts(std::string entry, const std::string& host) {
  const std::string name = Lower(host.substr(0, host.find(':')));
  if (entry.compare(0, 1, ".") == 0) entry.erase(0, 1);
  entry = Lower(entry);
  if (entry.size() > name.size()) return false;
  const size_t at = name.size() - entry.size();
  return name.compare(at, entry.size(), entry) == 0 && (at == 0 || name[at - 1] == '.');
}

// A name without a domain ("intranet"); an address has dots or colons.
bool IsSimpleName(const std::string& host) {
  return host.find('.') == std::string::npos && host.find(':') == std::string::npos;
}

}  // namespace

bool KWProxy::SplitURL(const KWString& url, std::string& scheme, std::string& host, int& port) {
  const std::string authority = Authority(url.GetUTF8String(), scheme);
  port = scheme == "https" ? 443 : 80;
  return SplitHostAndPort(authority, host, port) && !host.empty();
}

bool KWProxy::SplitProxy(const KWString& proxy, std::string& host, int& port) {
  std::string scheme;
  const std::string authority = Authority(proxy.GetUTF8String(), scheme);
  port = scheme == "https" ? 443 : 1080;
  return SplitHostAndPort(authority, host, port) && !host.empty();
}

bool KWProxy::IsExempt(const std::string& host, const std::string& noProxy) {
  if (noProxy == "*") return true;
  static const char kSeparators[] = ", ";
  size_t at = 0;
  while (at < noProxy.size()) {
    const size_t start = noProxy.find_first_not_of(kSeparators, at);
    if (start == std::string::npos) break;
    const size_t end = noProxy.find_first_of(kSeparators, start);
    const std::string entry = noProxy.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (EntryExempts(entry, host)) return true;
    if (end == std::string::npos) break;
    at = end;
  }
  return false;
}

KWProxySetting KWProxy::GetProxyForURL(const KWString& url) {
  KWProxySetting setting;
  std::string scheme, host;
  int port = 0;
  if (!SplitURL(url, scheme, host, port)) return setting;
  const KWProxySystemSettings system = KWProxySystem::Read(scheme);
  setting.m_noProxy = system.m_noProxy;
  if (system.m_excludeSimpleHostnames && IsSimpleName(host)) return setting;
  if (IsExempt(host, system.m_noProxy)) return setting;
  setting.m_proxy = system.m_proxy;
  return setting;
}

void KWProxy::ApplyToCurlHandle(void* curl, const KWString& url) {
  std::string scheme, host;
  int port = 0;
  KWProxySystemSettings system;
  if (SplitURL(url, scheme, host, port)) system = KWProxySystem::Read(scheme);
  // libcurl decides per request, redirects included, from the proxy and the
  // list: an exempt first host must not take the proxy away from the host a
  // redirect leads to. libcurl has no rule for simple names, so an exempt
  // simple first host joins the list by name.
  std::string noProxy = system.m_noProxy;
  if (system.m_excludeSimpleHostnames && IsSimpleName(host)) {
    noProxy += (noProxy.empty() ? "" : ",") + host;
  }
  // libcurl copies both strings.
  curl_easy_setopt(static_cast<CURL*>(curl), CURLOPT_PROXY, system.m_proxy.c_str());
  curl_easy_setopt(static_cast<CURL*>(curl), CURLOPT_NOPROXY, noProxy.c_str());
}

bool KWProxy::LogProxyRefusal(void* curl, const char* layer, const KWString& url) {
  long connectStatus = 0, status = 0;
  curl_easy_getinfo(static_cast<CURL*>(curl), CURLINFO_HTTP_CONNECTCODE, &connectStatus);
  curl_easy_getinfo(static_cast<CURL*>(curl), CURLINFO_RESPONSE_CODE, &status);
  if (connectStatus != 407 && status != 407) return false;
  // The proxy string may carry credentials: only the URL goes to the log.
  KWLOG("%s: the proxy refused %s: 407 Proxy Authentication Required", layer, url.c_str());
  return true;
}
