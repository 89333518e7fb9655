#include "KWProxy.h"

#include <arpa/inet.h>
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

bool AddressMatches(int family, const std::string& host, const std::string& network, int bits) {
  unsigned char address[16], check[16];
  if (inet_pton(family, host.c_str(), address) != 1 || inet_pton(family, network.c_str(), check) != 1) return false;
  const int size = family == AF_INET ? 4 : 16;
  if (bits > size * 8) return false;
  // As libcurl reads it, "/0" compares the whole address.
  if (bits == 0) bits = size * 8;
  const int bytes = bits / 8, rest = bits % 8;
  if (memcmp(address, check, static_cast<size_t>(bytes)) != 0) return false;
  return rest == 0 || ((address[bytes] ^ check[bytes]) & (0xff << (8 - rest))) == 0;
}

bool NameMatches(std::string name, std::string entry) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (!entry.empty() && entry.back() == '.') entry.pop_back();
  if (entry.compare(0, 1, "*") == 0) entry.erase(0, 1);
  if (entry.compare(0, 1, ".") == 0) entry.erase(0, 1);
  if (entry.empty()) return false;
  name = Lower(name);
  entry = Lower(entry);
  if (name == entry) return true;
  return name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
         name[name.size() - entry.size() - 1] == '.';
}

bool EntryExempts(const std::string& entry, const std::string& host, int port) {
  if (entry == "*") return true;
  std::string pattern = entry;
  int entryPort = 0;
  // "10.0.0.0/8" carries its network; a port follows neither that nor a bare
  // IPv6 address, so only a single colon (or one after "]") starts a port.
  const size_t slash = pattern.find('/');
  int bits = 0;
  if (slash != std::string::npos) {
    const std::string width = pattern.substr(slash + 1);
    if (width.empty() || width.size() > 3 || width.find_first_not_of("0123456789") != std::string::npos) return false;
    bits = atoi(width.c_str());
    pattern.erase(slash);
  } else if (!SplitHostAndPort(entry, pattern, entryPort)) {
    return false;
  }
  if (entryPort != 0 && entryPort != port) return false;
  in6_addr scratch;
  if (inet_pton(AF_INET, host.c_str(), &scratch) == 1) return AddressMatches(AF_INET, host, pattern, bits);
  if (inet_pton(AF_INET6, host.c_str(), &scratch) == 1) return AddressMatches(AF_INET6, host, pattern, bits);
  return slash == std::string::npos && NameMatches(host, pattern);
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

bool KWProxy::IsExempt(const std::string& host, int port, const std::string& noProxy) {
  size_t at = 0;
  while (at < noProxy.size()) {
    const size_t end = noProxy.find_first_of(", \t", at);
    const std::string entry = noProxy.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!entry.empty() && EntryExempts(entry, host, port)) return true;
    if (end == std::string::npos) break;
    at = end + 1;
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
  const bool simpleName = host.find('.') == std::string::npos && host.find(':') == std::string::npos;
  if (system.m_excludeSimpleHostnames && simpleName) return setting;
  if (IsExempt(host, port, system.m_noProxy)) return setting;
  setting.m_proxy = system.m_proxy;
  return setting;
}

void KWProxy::ApplyToCurlHandle(void* curl, const KWString& url) {
  const KWProxySetting setting = GetProxyForURL(url);
  // libcurl copies both strings.
  curl_easy_setopt(static_cast<CURL*>(curl), CURLOPT_PROXY, setting.m_proxy.c_str());
  curl_easy_setopt(static_cast<CURL*>(curl), CURLOPT_NOPROXY, setting.m_noProxy.c_str());
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
