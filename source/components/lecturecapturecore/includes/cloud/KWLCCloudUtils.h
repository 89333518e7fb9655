// KWLCCloudUtils: the libcurl easy-handle settings, callbacks and header and
// URL helpers shared by every HTTP transfer. The functions never create or
// clean up a handle; the caller owns it.
//
//   KWLCCloudUtils::CurlStringWriteCallbackData body(abortFlag);
//   KWLCCloudUtils::AddDefaultCurlSettings(curl, params, 1);
//   KWLCCloudUtils::CurlCreateHeaderList(headers, list, curl);
//   curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KWLCCloudUtils::CurlStringWriteCallback);
//   curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
//   curl_easy_perform(curl);
//   KWLCCloudUtils::CurlHeadersCleanup(list);
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "IKWLCCurlProgressCallback.h"
#include "KWAbortFlag.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWString.h"

const KWString kHTTPUrlPrefix("http://");
const KWString kHTTPSUrlPrefix("https://");
const KWString kMachineGuidHTTPHeader("MachineGuid");
const KWString kClientNameHTTPHeader("ClientName");
const KWString kClientVersionHTTPHeader("ClientVersion");
const KWString kClientPlatformHTTPHeader("ClientPlatform");
const KWString kClientInstallerPlatformHTTPHeader("ClientInstallerPlatform");
const KWString kContentLengthHTTPHeader("Content-Length");

namespace KWLCCloudUtils {

// Whether the URL starts with the scheme prefix ("https://"), compared
// without regard to case, as libcurl takes schemes.
bool HasScheme(const KWString& url, const KWString& prefix);

// The callback records keep the address of the caller's abort flag, which
// may be set from another thread at any time and must outlive the transfer.
struct CurlStringWriteCallbackData {
  explicit CurlStringWriteCallbackData(const KWAbortFlag& abortFlag) : m_abortFlag(&abortFlag) {}
  std::string m_data;
  const KWAbortFlag* m_abortFlag;
};

struct CurlFileWriteCallbackData {
  explicit CurlFileWriteCallbackData(const KWAbortFlag& abortFlag) : m_abortFlag(&abortFlag) {}
  ~CurlFileWriteCallbackData();
  CurlFileWriteCallbackData(const CurlFileWriteCallbackData&) = delete;
  CurlFileWriteCallbackData& operator=(const CurlFileWriteCallbackData&) = delete;
  KWFile m_file;
  uint64_t m_bytesWritten = 0;
  const KWAbortFlag* m_abortFlag;
  // When not 0, a body longer than this is refused (the transfer ends with a
  // write error) so that a server ignoring Range cannot fill the disk.
  uint64_t m_maxBytes = 0;
  // The target stays open from the first block to the end of the transfer;
  // every block is written through at once, so the file always holds exactly
  // the bytes received so far.
  int m_fd = -1;
};

struct CurlFileReadCallbackData {
  explicit CurlFileReadCallbackData(const KWAbortFlag& abortFlag) : m_abortFlag(&abortFlag) {}
  KWFile m_file;
  uint64_t m_bytesLeft = 0;
  uint64_t m_fileOffset = 0;
  const KWAbortFlag* m_abortFlag;
};

struct CurlProgressCallbackData {
  explicit CurlProgressCallbackData(const KWAbortFlag& abortFlag) : m_abortFlag(&abortFlag) {}
  const KWAbortFlag* m_abortFlag;
  const IKWLCCurlProgressCallback* m_progressCallback = nullptr;
  const void* m_progressCallbackData = nullptr;
  bool m_isUpload = true;
};

// Session set-up. Only http and https, for the request and for every
// redirect it follows: a URL from a server must not make libcurl speak
// another protocol (CurlEnableSSLVerifyForURL narrows the redirects of an
// https URL to https). A null handle throws KWLCException (kKWErrorInternal),
// and so does a libcurl that refuses the protocol limits (logged): the
// transfer must then not start.
void AddDefaultCurlSettings(void* curl, const KWLCCloudParams& params, short applyResponseTimeout);
void CurlSetConnectTimeoutMS(void* curl, const int& milliseconds);
void CurlSetResponseTimeoutMS(void* curl, const int& milliseconds);
void CurlAddDebugFunction(void* curl);
void CurlEnableSSLVerifyIfNeeded(const KWLCCloudParams& params, void* curl);
// An "https://" URL is always fetched with peer and host verification, even
// when the record asks for plain transfers: without a CA file of the
// record's, the system's trust store decides. Its redirects stay on https.
void CurlEnableSSLVerifyForURL(const KWString& url, const KWLCCloudParams& params, void* curl);
// Trusts the system's roots for the handle's https transfers: with a TLS
// backend that reads the keychain (Secure Transport), no CA file, so that
// roots an administrator installed count; with any other, the system's CA
// bundle (libcurl's default).
void CurlUseSystemRoots(void* curl);
// Whether a transfer failed for the server's certificate alone (not
// trusted, not for this host, or the CA file unreadable), by number, as
// the oldest and the newest libcurl spell these codes differently.
bool IsCertificateRefusal(int curlCode);
// Tests only: the file that stands for the system's CA bundle (empty: the
// real one). Set it before any transfer starts.
void SetSystemCABundleForTesting(const std::string& path);
// The record's proxy when it enables one; otherwise the proxy the system's
// settings name for the service's URL (scheme, host and port of the record).
void CurlSetProxySettings(const KWLCCloudParams& params, void* curl);
// The same for a transfer to another host (the image, wherever it lives).
void CurlSetProxySettingsForURL(const KWString& url, const KWLCCloudParams& params, void* curl);
// Also sets no signals and IPv4 addresses only (the first try of a transfer).
void CurlCreateHeaderList(const std::vector<KWString>& headers, curl_slist*& list, void* curl);
void CurlHeadersCleanup(curl_slist*& list);

// Every transfer's perform: IPv4 first; when IPv4 finds no address or no
// route to the host (libcurl's CURLE_COULDNT_RESOLVE_HOST, _RESOLVE_PROXY or
// _COULDNT_CONNECT), once more with both families (CURL_IPRESOLVE_WHATEVER),
// which the log says, with `layer` first. The second try starts from
// nothing received: the first ended before any reply. A transfer that runs
// its handle some other way (a multi handle) calls CurlRetryWithBothFamilies
// with the first try's result instead: true means the handle now resolves
// both families and is to be run once more; false leaves it as it was.
CURLcode CurlPerformIPv4First(void* curl, const char* layer);
bool CurlRetryWithBothFamilies(void* curl, CURLcode result, const char* layer);

// URLs and headers.
KWString GetHTTPOrHTTPS(const KWLCCloudParams& params);
void AddAuthorizationHeaders(std::vector<KWString>& headers, const KWLCCloudParams& params);
// Lines keep a trailing carriage return if the server sent one.
std::vector<KWString> GetResponseHeaders(const KWString& response, const int& offset);
// Value of the first line whose name equals the name exactly; empty if none.
KWString GetResponseHeader(const KWString& name, const std::vector<KWString>& lines);
// The same, but field names compare without regard to case, as HTTP defines
// them (HTTP/2 servers send them in lower case).
KWString GetResponseHeaderIgnoringCase(const KWString& name, const std::vector<KWString>& lines);
// Reads "bytes FIRST-LAST/TOTAL" (a Content-Range value, trailing white
// space allowed); an unknown total ("*") gives 0. False for anything else or
// when LAST is before FIRST.
bool ParseContentRange(const KWString& value, uint64_t& first, uint64_t& last, uint64_t& total);
// "https://h:8080/a/b.dmg" -> "h:8080" and "/a/b.dmg". A URL without a path
// has the empty resource.
KWString GetHostURL(const KWString& url);
KWString GetResourceURL(const KWString& url);

// libcurl callbacks; they run on the thread inside curl_easy_perform. A
// failure inside one ends the transfer through its return value, never by an
// exception through libcurl's frames; the caller sees the libcurl error.
size_t CurlStringWriteCallback(void* data, size_t size, size_t count, void* userData);
size_t CurlFileWriteCallback(void* data, size_t size, size_t count, void* userData);
size_t CurlFileReadCallback(void* buffer, size_t size, size_t count, void* userData);
int CurlProgressCallback(void* userData, double downloadTotal, double downloadNow, double uploadTotal,
                         double uploadNow);

}  // namespace KWLCCloudUtils
