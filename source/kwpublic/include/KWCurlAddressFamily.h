// Which address families a transfer tries: IPv4 first, as every transfer
// always has, and both families once more when IPv4 found no address or no
// route to the host (an IPv6-only network, a host with no IPv4 address).
// The connection check tries the host's addresses in the same order.
//
//   KWCurlAddressFamily::UseIPv4(curl);
//   CURLcode result = curl_easy_perform(curl);
//   if (KWCurlAddressFamily::RetryWithBothFamilies(curl, result, "download")) {
//     ...                                   // forget what the first try collected
//     result = curl_easy_perform(curl);
//   }
#pragma once

#include <curl/curl.h>

namespace KWCurlAddressFamily {

// CURLOPT_IPRESOLVE to IPv4 addresses only: the first try of every transfer.
void UseIPv4(CURL* curl);

// After a try on a handle set up by UseIPv4 that ended with `result`: true
// when the result says IPv4 could not reach the host (libcurl could not
// resolve it or could not connect to any of its addresses, the proxy's
// included); the handle then resolves both families and the caller performs
// once more. The log says so, with `layer` first. False for every other
// result: a time-out, an HTTP or TLS failure, success. A caller asks once
// per transfer; the handle is left resolving both families until UseIPv4.
bool RetryWithBothFamilies(CURL* curl, CURLcode result, const char* layer);

// curl_easy_perform with that second try.
CURLcode PerformIPv4First(CURL* curl, const char* layer);

}  // namespace KWCurlAddressFamily
