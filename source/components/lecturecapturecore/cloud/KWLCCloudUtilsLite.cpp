#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "KWCurlAddressFamily.h"
#include "KWCurlFloor.h"
#include "KWException.h"
#include "KWLCCloudStructs.h"
#include "KWLCCloudUtils.h"
#include "KWLogger.h"
#include "KWProxy.h"
#include "KWSystemUtils.h"
#include "KWTimer.h"
#include "LCInstallerEndpoints.h"

namespace {
// 48 hours in 100 ns ticks.
const uint64_t kHandshakeLifetimeNS100 = 1728000000000ULL;
}  // namespace

KWLCCloudParams::KWLCCloudParams()
    : m_host(kCLVHandshakeHost),
      m_port("443"),
      m_connectTimeoutMS(0),
      m_responseTimeoutMS(60000),
      m_useHTTPS(true),
      m_isServiceEnabled(true),
      m_isMultipartUpload(true),
      m_numDownloadThreads(16),
      m_downloadPartSizeBytes(10485760),
      m_isFreePublish(false),
      m_numCouponPublishesLeft(0),
      m_useProxy(false),
      m_proxyPort(0),
      m_isHandShakeOkay(false),
      m_handShakeExpiryTickNS100(0),
      m_serverUTCTimeS(0),
      m_slowServer(KWLCSlowServerLimits::Defaults()) {}

namespace {
std::mutex g_slowServerMutex;
KWLCSlowServerLimits g_slowServerDefaults;  // guarded by g_slowServerMutex
}  // namespace

KWLCSlowServerLimits KWLCSlowServerLimits::Defaults() {
  std::lock_guard<std::mutex> lock(g_slowServerMutex);
  return g_slowServerDefaults;
}

void KWLCSlowServerLimits::SetDefaults(const KWLCSlowServerLimits& limits) {
  std::lock_guard<std::mutex> lock(g_slowServerMutex);
  g_slowServerDefaults = limits;
}

uint64_t KWLCSlowServerLimits::DeadlineSeconds(uint64_t fileSizeBytes) const {
  const uint64_t rate = m_deadlineBytesPerSecond != 0 ? m_deadlineBytesPerSecond : 1;
  return m_deadlineFloorSeconds + fileSizeBytes / rate;
}

void KWLCCloudParams::SetIsHandShakeOkay(bool okay) {
  m_isHandShakeOkay = okay;
  m_handShakeExpiryTickNS100 = okay ? KWGetTickCountSinceAppStartTimeNS100() + kHandshakeLifetimeNS100 : 0;
}

void KWLCCloudParams::SetServerUTCTimeS(const unsigned long long& seconds) { m_serverUTCTimeS = seconds; }

// ---------------------------------------------------------------------------
// Curl transfer utilities.

namespace {

const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCloudUtilsLite";

[[noreturn]] void ThrowInternal(int line) { throw KWLCException("kKWErrorInternal", kThisFile, line, false); }

CURL* CheckedHandle(void* curl, int line) {
  if (curl == nullptr) ThrowInternal(line);
  return static_cast<CURL*>(curl);
}

// libcurl's built-in CA bundle (the system's trust store). A libcurl too
// old to name it gets the one the build knows for this system.
const char* DefaultCABundle() {
#if LIBCURL_VERSION_NUM >= 0x075400
  if (KWCurlFloor::Has(0x075400)) {
    static const std::string s_bundle = [] {
      std::string bundle;
      CURL* probe = curl_easy_init();
      if (probe != nullptr) {
        char* path = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path != nullptr) bundle = path;
        curl_easy_cleanup(probe);
      }
      return bundle;
    }();
    if (!s_bundle.empty()) return s_bundle.c_str();
  }
#endif
  return CLIPVANE_SYSTEM_CA_BUNDLE;
}

std::mutex g_testingBundleMutex;
std::string g_testingBundle;

// The TLS backend in use reads the keychain when it has no CA file. A
// build with several backends names the others in parentheses.
bool BackendReadsKeychain() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info == nullptr || info->ssl_version == nullptr) return false;
  const char* name = strstr(info->ssl_version, "SecureTransport");
  return name != nullptr && (name == info->ssl_version || name[-1] != '(');
}

// Throws when the limits did not take: the transfer must not start unlimited.
void LimitProtocols(CURL* handle, KWCurlFloor::Redirects redirects, int line) {
  if (!KWCurlFloor::LimitProtocols(handle, redirects, "transfer")) ThrowInternal(line);
}

bool IsAborted(const KWAbortFlag* flag) { return flag != nullptr && flag->load(); }

// The device token identifies the machine: its value never reaches the log.
// Nor do credentials for a proxy or a server (a proxy variable's
// "user:password@", say). Header lines keep their names so that the log
// still shows what was sent.
std::string MaskSecretHeaders(const char* data, size_t size) {
  static const char* const kNames[] = {"devicetoken:", "proxy-authorization:", "authorization:"};
  std::string out;
  out.reserve(size);
  size_t lineStart = 0;
  while (lineStart < size) {
    size_t lineEnd = lineStart;
    while (lineEnd < size && data[lineEnd] != '\n') ++lineEnd;
    size_t nameLength = 0;
    for (const char* name : kNames) {
      const size_t length = strlen(name);
      if (lineEnd - lineStart < length) continue;
      bool same = true;
      for (size_t i = 0; i < length && same; ++i) {
        same = tolower(static_cast<unsigned char>(data[lineStart + i])) == name[i];
      }
      if (same) nameLength = length;
    }
    if (nameLength != 0) {
      out.append(data + lineStart, nameLength);
      out += " ***";
      if (lineEnd > lineStart && data[lineEnd - 1] == '\r') out += '\r';
    } else {
      out.append(data + lineStart, lineEnd - lineStart);
    }
    if (lineEnd < size) out += '\n';
    lineStart = lineEnd + 1;
  }
  return out;
}

int OnDebugData(CURL* /*handle*/, curl_infotype type, char* data, size_t size, void* /*userData*/) {
  std::string text("CURL LOG - ");
  switch (type) {
    case CURLINFO_TEXT:
      text += "TEXT::\n";
      text.append(data, size);
      break;
    case CURLINFO_HEADER_IN:
      text += "HEADER_IN::\n";
      text.append(data, size);
      break;
    case CURLINFO_HEADER_OUT:
      text += "HEADER_OUT::\n";
      text += MaskSecretHeaders(data, size);
      break;
    case CURLINFO_DATA_IN:
    case CURLINFO_DATA_OUT:
      // Bodies never reach the log: they may be large or private.
      return 0;
    default:
      // TLS records: binary, so only their size keeps the log text.
      text += "UNKNOWN_TYPE::\n";
      text += std::to_string(size) + " bytes";
      break;
  }
  if (gKWLogger.m_isEnabled) gKWLogger.LogString(text.data(), text.size());
  return 0;
}

// HTTP field names compare without regard to case; only ASCII letters fold.
bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

template <typename Equal>
KWString FindResponseHeader(const KWString& name, const std::vector<KWString>& lines, Equal equal) {
  for (const KWString& line : lines) {
    const size_t colon = line.find(":");
    if (colon == KWString::npos || colon + 2 >= line.size()) continue;
    if (equal(line.substr(0, colon).GetUTF8String(), name.GetUTF8String())) return line.substr(colon + 2);
  }
  return KWString();
}

KWString StripScheme(const KWString& url) {
  if (url.StartsWith(kHTTPUrlPrefix)) return url.substr(kHTTPUrlPrefix.size());
  if (url.StartsWith(kHTTPSUrlPrefix)) return url.substr(kHTTPSUrlPrefix.size());
  return url;
}

}  // namespace

namespace KWLCCloudUtils {

bool HasScheme(const KWString& url, const KWString& prefix) {
  const std::string& text = url.GetUTF8String();
  const std::string& scheme = prefix.GetUTF8String();
  if (text.size() < scheme.size()) return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (tolower(static_cast<unsigned char>(text[i])) != scheme[i]) return false;
  }
  return true;
}

void AddDefaultCurlSettings(void* curl, const KWLCCloudParams& params, short applyResponseTimeout) {
  if (curl == nullptr) {
    KWAssertFailed("curl pointer missing", kThisFile, __LINE__);
    ThrowInternal(__LINE__);
  }
  LimitProtocols(static_cast<CURL*>(curl), KWCurlFloor::kRedirectsHTTPOrHTTPS, __LINE__);
  CurlSetConnectTimeoutMS(curl, params.m_connectTimeoutMS);
  if (applyResponseTimeout != 0) CurlSetResponseTimeoutMS(curl, params.m_responseTimeoutMS);
  CurlAddDebugFunction(curl);
  CurlEnableSSLVerifyIfNeeded(params, curl);
  CurlSetProxySettings(params, curl);
}

void CurlSetConnectTimeoutMS(void* curl, const int& milliseconds) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (milliseconds != 0) curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(milliseconds));
}

void CurlSetResponseTimeoutMS(void* curl, const int& milliseconds) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (milliseconds != 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(milliseconds));
}

void CurlAddDebugFunction(void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (gKWLogger.m_isEnabled) {
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, OnDebugData);
  } else {
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, static_cast<curl_debug_callback>(nullptr));
  }
}

void CurlEnableSSLVerifyIfNeeded(const KWLCCloudParams& params, void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (params.m_useHTTPS) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, params.m_caCertPath.GetPathAsKWString().c_str());
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  } else {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
  }
}

void CurlEnableSSLVerifyForURL(const KWString& url, const KWLCCloudParams& params, void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  // An image fetched over https may be trusted for that alone: a redirect
  // must not carry the transfer into the clear.
  const bool https = HasScheme(url, kHTTPSUrlPrefix);
  LimitProtocols(handle, https ? KWCurlFloor::kRedirectsHTTPSOnly : KWCurlFloor::kRedirectsHTTPOrHTTPS, __LINE__);
  if (params.m_useHTTPS || !https) return;
  // The record names no CA file for this transfer; one left on a reused
  // handle by an earlier record must not stand in for the system's store.
  CurlUseSystemRoots(handle);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
}

void CurlUseSystemRoots(void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  std::string testing;
  {
    std::lock_guard<std::mutex> lock(g_testingBundleMutex);
    testing = g_testingBundle;
  }
  if (!testing.empty()) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, testing.c_str());
  } else if (BackendReadsKeychain()) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  } else {
    curl_easy_setopt(handle, CURLOPT_CAINFO, DefaultCABundle());
  }
}

bool IsCertificateRefusal(int curlCode) {
  // 51: the peer's certificate failed verification up to 7.61; 60: the
  // CA did not vouch for it (all checks of the peer from 7.62 on); 77: the
  // CA file could not be read.
  return curlCode == 51 || curlCode == 60 || curlCode == 77;
}

void SetSystemCABundleForTesting(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_testingBundleMutex);
  g_testingBundle = path;
}

void CurlSetProxySettings(const KWLCCloudParams& params, void* curl) {
  CheckedHandle(curl, __LINE__);
  CurlSetProxySettingsForURL(GetHTTPOrHTTPS(params) + params.m_host + ":" + params.m_port + "/", params, curl);
}

void CurlSetProxySettingsForURL(const KWString& url, const KWLCCloudParams& params, void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (!params.m_useProxy) {
    KWProxy::ApplyToCurlHandle(handle, url);
    return;
  }
  if (!params.m_proxyHost.empty()) curl_easy_setopt(handle, CURLOPT_PROXY, params.m_proxyHost.c_str());
  if (params.m_proxyPort != 0) curl_easy_setopt(handle, CURLOPT_PROXYPORT, static_cast<long>(params.m_proxyPort));
  if (!params.m_proxyType.empty()) {
    // The record names the kind as text; unknown names keep libcurl's HTTP proxy.
    const std::string& type = params.m_proxyType.GetUTF8String();
    long kind = CURLPROXY_HTTP;
    if (EqualsIgnoringCase(type, "socks4")) kind = CURLPROXY_SOCKS4;
    if (EqualsIgnoringCase(type, "socks4a")) kind = CURLPROXY_SOCKS4A;
    if (EqualsIgnoringCase(type, "socks5")) kind = CURLPROXY_SOCKS5;
    if (EqualsIgnoringCase(type, "socks5h")) kind = CURLPROXY_SOCKS5_HOSTNAME;
    if (EqualsIgnoringCase(type, "https")) kind = CURLPROXY_HTTPS;
    curl_easy_setopt(handle, CURLOPT_PROXYTYPE, kind);
  }
  if (!params.m_proxyUserPassword.empty()) {
    curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, params.m_proxyUserPassword.c_str());
  }
}

void CurlCreateHeaderList(const std::vector<KWString>& headers, curl_slist*& list, void* curl) {
  CURL* handle = CheckedHandle(curl, __LINE__);
  if (!headers.empty()) {
    for (const KWString& header : headers) list = curl_slist_append(list, header.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
  }
  // Transfers run on worker threads, where libcurl must not use signals.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  KWCurlAddressFamily::UseIPv4(handle);
}

CURLcode CurlPerformIPv4First(void* curl, const char* layer) {
  return KWCurlAddressFamily::PerformIPv4First(CheckedHandle(curl, __LINE__), layer);
}

bool CurlRetryWithBothFamilies(void* curl, CURLcode result, const char* layer) {
  return KWCurlAddressFamily::RetryWithBothFamilies(CheckedHandle(curl, __LINE__), result, layer);
}

void CurlHeadersCleanup(curl_slist*& list) {
  if (list != nullptr) curl_slist_free_all(list);
  list = nullptr;
}

KWString GetHTTPOrHTTPS(const KWLCCloudParams& params) { return params.m_useHTTPS ? kHTTPSUrlPrefix : kHTTPUrlPrefix; }

void AddAuthorizationHeaders(std::vector<KWString>& headers, const KWLCCloudParams& /*params*/) {
  KWString version;
  version.AppendNumber(1).Append(".").AppendNumber(0).Append(".").AppendNumber(0).Append(".").AppendNumber(0);
  headers.push_back(kMachineGuidHTTPHeader + ":" + "0");
  headers.push_back(kClientNameHTTPHeader + ":" + "CLV-Installer");
  headers.push_back(kClientVersionHTTPHeader + ":" + version);
  headers.push_back(kClientPlatformHTTPHeader + ":" + KWSystemUtils::GetPlatformName());
  headers.push_back(kClientInstallerPlatformHTTPHeader + ":" + "osx");
}

std::vector<KWString> GetResponseHeaders(const KWString& response, const int& offset) {
  const size_t start = offset < 0 ? 0 : std::min(static_cast<size_t>(offset), response.size());
  return response.substr(start).Split("\n");
}

KWString GetResponseHeader(const KWString& name, const std::vector<KWString>& lines) {
  return FindResponseHeader(name, lines, [](const std::string& a, const std::string& b) { return a == b; });
}

KWString GetResponseHeaderIgnoringCase(const KWString& name, const std::vector<KWString>& lines) {
  return FindResponseHeader(name, lines, EqualsIgnoringCase);
}

bool ParseContentRange(const KWString& value, uint64_t& first, uint64_t& last, uint64_t& total) {
  const std::string& text = value.GetUTF8String();
  size_t at = 0;
  // Digits only, no sign, no overflow.
  auto readNumber = [&](uint64_t& number) {
    const size_t start = at;
    number = 0;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) {
      const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
      if (number > (UINT64_MAX - digit) / 10) return false;
      number = number * 10 + digit;
      ++at;
    }
    return at > start;
  };
  if (text.compare(0, 6, "bytes ") != 0) return false;
  at = 6;
  if (!readNumber(first) || at >= text.size() || text[at++] != '-') return false;
  if (!readNumber(last) || at >= text.size() || text[at++] != '/') return false;
  if (at < text.size() && text[at] == '*') {
    total = 0;
    ++at;
  } else if (!readNumber(total)) {
    return false;
  }
  while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at == text.size() && last >= first && (total == 0 || last < total);
}

KWString GetHostURL(const KWString& url) {
  const KWString rest = StripScheme(url);
  const size_t slash = rest.find("/");
  if (slash != KWString::npos && slash != 0) return rest.substr(0, slash);
  return rest;
}

KWString GetResourceURL(const KWString& url) {
  const KWString rest = StripScheme(url);
  const size_t slash = rest.find("/");
  return slash == KWString::npos ? KWString() : rest.substr(slash);
}

size_t CurlStringWriteCallback(void* data, size_t size, size_t count, void* userData) {
  CurlStringWriteCallbackData* record = static_cast<CurlStringWriteCallbackData*>(userData);
  if (record == nullptr) {
    KWAssertFailed("CurlStringWriteCallback without its record", kThisFile, __LINE__);
    return 0;
  }
  if (IsAborted(record->m_abortFlag)) return 0;
  const size_t bytes = size * count;
  record->m_data.append(static_cast<const char*>(data), bytes);
  return bytes;
}

CurlFileWriteCallbackData::~CurlFileWriteCallbackData() {
  if (m_fd >= 0) close(m_fd);
}

size_t CurlFileWriteCallback(void* data, size_t size, size_t count, void* userData) {
  CurlFileWriteCallbackData* record = static_cast<CurlFileWriteCallbackData*>(userData);
  if (record == nullptr) {
    KWAssertFailed("CurlFileWriteCallback without its record", kThisFile, __LINE__);
    return 0;
  }
  if (IsAborted(record->m_abortFlag)) return 0;
  const size_t bytes = size * count;
  if (record->m_maxBytes != 0 && record->m_bytesWritten + bytes > record->m_maxBytes) {
    KWLOG("KWLCCloudUtils::CurlFileWriteCallback, body of %s exceeds %llu bytes", record->m_file.GetPath().c_str(),
          static_cast<unsigned long long>(record->m_maxBytes));
    return 0;
  }
  if (record->m_fd < 0) {
    do {
      record->m_fd = open(record->m_file.GetPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (record->m_fd < 0 && errno == EINTR);
    if (record->m_fd < 0) {
      KWLOG("KWLCCloudUtils::CurlFileWriteCallback, cannot open %s: %s", record->m_file.GetPath().c_str(),
            strerror(errno));
      return 0;
    }
  }
  size_t done = 0;
  const char* bytesIn = static_cast<const char*>(data);
  while (done < bytes) {
    const ssize_t put = write(record->m_fd, bytesIn + done, bytes - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(put);
  }
  if (done < bytes) {
    KWAssertFailed("", kThisFile, __LINE__);
    return 0;
  }
  record->m_bytesWritten += bytes;
  return bytes;
}

size_t CurlFileReadCallback(void* buffer, size_t size, size_t count, void* userData) {
  CurlFileReadCallbackData* record = static_cast<CurlFileReadCallbackData*>(userData);
  if (record == nullptr) {
    KWAssertFailed("CurlFileReadCallback without its record", kThisFile, __LINE__);
    return CURL_READFUNC_ABORT;
  }
  if (IsAborted(record->m_abortFlag)) return CURL_READFUNC_ABORT;
  if (record->m_bytesLeft == 0) return 0;
  int fd;
  do {
    fd = open(record->m_file.GetPath().c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    KWLOG("KWLCCloudUtils::CurlFileReadCallback, cannot open %s: %s", record->m_file.GetPath().c_str(),
          strerror(errno));
    return CURL_READFUNC_ABORT;
  }
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(record->m_bytesLeft, size * count));
  size_t done = 0;
  char* bytesOut = static_cast<char*>(buffer);
  while (done < wanted) {
    const ssize_t got = pread(fd, bytesOut + done, wanted - done, static_cast<off_t>(record->m_fileOffset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  close(fd);
  if (done < wanted) {
    KWAssertFailed("", kThisFile, __LINE__);
    return CURL_READFUNC_ABORT;
  }
  record->m_fileOffset += done;
  record->m_bytesLeft -= done;
  return done;
}

int CurlProgressCallback(void* userData, double downloadTotal, double downloadNow, double uploadTotal,
                         double uploadNow) {
  const CurlProgressCallbackData* record = static_cast<const CurlProgressCallbackData*>(userData);
  if (record == nullptr) return 0;
  if (IsAborted(record->m_abortFlag)) return 1;
  int percent = 0;
  if (downloadTotal > 0 && !record->m_isUpload) percent = static_cast<int>(downloadNow / downloadTotal * 100 + 0.5);
  if (uploadTotal > 0 && record->m_isUpload) percent = static_cast<int>(uploadNow / uploadTotal * 100 + 0.5);
  if (record->m_progressCallback != nullptr) {
    return record->m_progressCallback->OnProgress(record->m_progressCallbackData, percent) ? 0 : 1;
  }
  return 0;
}

}  // namespace KWLCCloudUtils
