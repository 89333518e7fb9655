#include "KWCurlFloor.h"

#include <curl/curl.h>

#include "KWLogger.h"

static_assert(LIBCURL_VERSION_NUM >= CLIPVANE_LIBCURL_FLOOR, "libcurl's headers are older than the floor");

namespace {

const unsigned kProtocolStringsVersion = 0x075500;  // CURLOPT_PROTOCOLS_STR, CURLOPT_REDIR_PROTOCOLS_STR

// The bitmask forms are the only ones the floor has; newer headers mark them
// deprecated, but they still work and are kept.
CURLcode SetProtocolMasks(CURL* handle, long protocols, long redirects) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  CURLcode result = curl_easy_setopt(handle, CURLOPT_PROTOCOLS, protocols);
  if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, redirects);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return result;
}

// Where the running library has the string forms, they are set as well, so
// that a library that one day drops the bitmasks still gets the limit.
CURLcode SetProtocolStrings(CURL* handle, const char* protocols, const char* redirects) {
#if LIBCURL_VERSION_NUM >= 0x075500
  if (KWCurlFloor::Has(kProtocolStringsVersion)) {
    CURLcode result = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, protocols);
    if (result == CURLE_OK) result = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, redirects);
    return result;
  }
#else
  (void)handle;
  (void)protocols;
  (void)redirects;
#endif
  return CURLE_OK;
}

}  // namespace

unsigned KWCurlFloor::RunningVersion() {
  static const unsigned s_version = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr ? static_cast<unsigned>(info->version_num) : 0u;
  }();
  return s_version;
}

bool KWCurlFloor::Has(unsigned versionNum) { return RunningVersion() >= versionNum; }

bool KWCurlFloor::LimitProtocols(void* curl, Redirects redirects, const char* layer) {
  CURL* handle = static_cast<CURL*>(curl);
  const bool httpsOnly = redirects == kRedirectsHTTPSOnly;
  CURLcode result = CURLE_BAD_FUNCTION_ARGUMENT;
  if (handle != nullptr) {
    result = SetProtocolMasks(handle, CURLPROTO_HTTP | CURLPROTO_HTTPS,
                              httpsOnly ? CURLPROTO_HTTPS : (CURLPROTO_HTTP | CURLPROTO_HTTPS));
    if (result == CURLE_OK) result = SetProtocolStrings(handle, "http,https", httpsOnly ? "https" : "http,https");
  }
  if (result == CURLE_OK) return true;
  KWLOG("%s: libcurl %x refused the protocol limits (libcurl error %d): the transfer does not start", layer,
        RunningVersion(), static_cast<int>(result));
  return false;
}
