#include "KWCurlAddressFamily.h"

#include "KWLogger.h"

namespace KWCurlAddressFamily {

void UseIPv4(CURL* curl) { curl_easy_setopt(curl, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4)); }

bool RetryWithBothFamilies(CURL* curl, CURLcode result, const char* layer) {
  if (result != CURLE_COULDNT_RESOLVE_HOST && result != CURLE_COULDNT_CONNECT &&
      result != CURLE_COULDNT_RESOLVE_PROXY) {
    return false;
  }
  const char* url = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
  KWLOG("%s: no IPv4 address or route for %s (curl %d), trying IPv6 as well", layer, url != nullptr ? url : "",
        static_cast<int>(result));
  curl_easy_setopt(curl, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_WHATEVER));
  return true;
}

CURLcode PerformIPv4First(CURL* curl, const char* layer) {
  CURLcode result = curl_easy_perform(curl);
  if (RetryWithBothFamilies(curl, result, layer)) result = curl_easy_perform(curl);
  return result;
}

}  // namespace KWCurlAddressFamily
