// The handshake: one GET of "/handshake" whose JSON reply says where the
// product image is, which build it is and what to launch once installed.

// The transfer uses libcurl's classic progress function, which newer headers
// mark deprecated; it is still supported.
#define CURL_DISABLE_DEPRECATION 1

#include <curl/curl.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KWException.h"
#include "KWLCCloudUtils.h"
#include "KWLogger.h"
#include "KWProxy.h"
#include "KWSystemUtils.h"
#include "LCInstallerHandshakeReply.h"
#include "LCInstallerService.h"
#include "LCReleaseManifest.h"
#include "LCReleaseVerifier.h"

namespace {

const KWString kDeviceTokenHTTPHeader("deviceToken");
const KWString kNumberofProjectsHTTPHeader("numberofProjects");
const KWString kOSVersionHTTPHeader("OSVersion");
const KWString kClientCampaignHTTPHeader("ClientCampaign");

// A reply is a few hundred bytes; anything past this is not a handshake
// reply and is not worth holding in memory.
const size_t kMaxReplyBytes = 1024 * 1024;

// Besides the whole attempt's limit (60 s): a server that accepts and then
// says nothing ends an attempt after this long, in the connect phase (TCP
// and TLS) or once the request is sent. The stage makes five attempts with
// pauses of at most 5, 10, 20 and 20 s between them, so a silent server
// gives the box within 5 x 11 + 55 = 110 s (libcurl looks at the speed
// once a second).
const int kConnectLimitMS = 10000;
const long kSilenceLimitSeconds = 10;

struct BoundedReply {
  explicit BoundedReply(const KWAbortFlag& abortFlag) : m_data(abortFlag) {}
  KWLCCloudUtils::CurlStringWriteCallbackData m_data;
  bool m_tooLarge = false;
};

size_t BoundedStringWrite(void* data, size_t size, size_t count, void* userData) {
  BoundedReply& reply = *static_cast<BoundedReply*>(userData);
  if (reply.m_data.m_data.size() + size * count > kMaxReplyBytes) {
    reply.m_tooLarge = true;
    return 0;
  }
  return KWLCCloudUtils::CurlStringWriteCallback(data, size, count, &reply.m_data);
}

// Owns the handle and the header list so that every way out frees both.
struct HandshakeTransfer {
  ~HandshakeTransfer() {
    KWLCCloudUtils::CurlHeadersCleanup(headerList);
    if (curl) curl_easy_cleanup(curl);
  }
  CURL* curl = curl_easy_init();
  curl_slist* headerList = nullptr;
};

std::atomic<const LCReleaseVerifier*> g_testingVerifier{nullptr};

const LCReleaseVerifier& ReleaseVerifier() {
  const LCReleaseVerifier* testing = g_testingVerifier;
  return testing != nullptr ? *testing : LCReleaseVerifier::CompiledIn();
}

// A local clock this far from the server's is worth telling support about:
// beside an expiry it means the clock, not the server, is likely wrong.
const uint64_t kClockSkewSeconds = 24 * 60 * 60;

}  // namespace

void LCInstallerService::SetReleaseVerifierForTesting(const LCReleaseVerifier* verifier) {
  g_testingVerifier = verifier;
}

bool LCInstallerService::DoHandshake(const KWLCCloudParams& params) {
  KWLOG("LCInstallerService::DoHandshake");
  m_handshakeRefusal = kHandshakeNotRefused;
  const KWAbortFlag& exitRequested = m_uiInterface.IsExitRequested();
  try {
    KWString url = KWLCCloudUtils::GetHTTPOrHTTPS(params) + params.m_host + ":" + params.m_port;
    if (!params.m_basePath.empty()) url += KWString("/") + params.m_basePath;
    url += "/handshake";

    std::vector<KWString> headers;
    KWLCCloudUtils::AddAuthorizationHeaders(headers, params);
    headers.push_back(kDeviceTokenHTTPHeader + ":" + KWSystemUtils::GetDeviceToken());
    headers.push_back(kNumberofProjectsHTTPHeader + ":" + "0");
    headers.push_back(kOSVersionHTTPHeader + ":" + KWSystemUtils::GetOSVersion());
    headers.push_back(kClientCampaignHTTPHeader + ":" + "cnet");

    BoundedReply reply(exitRequested);
    KWLCCloudUtils::CurlFileReadCallbackData readData(exitRequested);
    KWLCCloudUtils::CurlProgressCallbackData progressData(exitRequested);
    CURLcode result = CURLE_OK;
    {
      HandshakeTransfer transfer;
      if (!transfer.curl) throw KWLCException("kKWErrorInternal", __FILE__, __LINE__, false);
      KWLCCloudUtils::CurlCreateHeaderList(headers, transfer.headerList, transfer.curl);
      KWLCCloudUtils::AddDefaultCurlSettings(transfer.curl, params, 1);
      if (params.m_connectTimeoutMS == 0) KWLCCloudUtils::CurlSetConnectTimeoutMS(transfer.curl, kConnectLimitMS);
      curl_easy_setopt(transfer.curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(transfer.curl, CURLOPT_LOW_SPEED_TIME, kSilenceLimitSeconds);
      curl_easy_setopt(transfer.curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(transfer.curl, CURLOPT_WRITEDATA, &reply);
      curl_easy_setopt(transfer.curl, CURLOPT_WRITEFUNCTION, BoundedStringWrite);
      curl_easy_setopt(transfer.curl, CURLOPT_READDATA, &readData);
      curl_easy_setopt(transfer.curl, CURLOPT_READFUNCTION, KWLCCloudUtils::CurlFileReadCallback);
      curl_easy_setopt(transfer.curl, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(transfer.curl, CURLOPT_PROGRESSDATA, &progressData);
      curl_easy_setopt(transfer.curl, CURLOPT_PROGRESSFUNCTION, KWLCCloudUtils::CurlProgressCallback);
      if (!exitRequested) result = KWLCCloudUtils::CurlPerformIPv4First(transfer.curl, "handshake");
      // A network that inspects TLS shows a certificate of its own, from a
      // root its administrator installed in the system's store. In a signed
      // build the release's signature, not the CA set, protects what runs:
      // such a network may carry the handshake.
      if (!exitRequested && params.m_useHTTPS && ReleaseVerifier().IsSigned() &&
          KWLCCloudUtils::IsCertificateRefusal(static_cast<int>(result))) {
        KWLOG("handshake: the certificate is not trusted by the bundle's roots (res=%d); trying the system's roots",
              static_cast<int>(result));
        reply.m_data.m_data.clear();
        KWLCCloudUtils::CurlUseSystemRoots(transfer.curl);
        result = KWLCCloudUtils::CurlPerformIPv4First(transfer.curl, "handshake");
        if (result == CURLE_OK) KWLOG("handshake: the certificate is trusted by the system's roots");
      }
      KWProxy::LogProxyRefusal(transfer.curl, "handshake", url);
    }

    if (reply.m_tooLarge) {
      KWLOG("DoHandshake, reply larger than %zu bytes, rejected", kMaxReplyBytes);
      return false;
    }
    if (result != CURLE_OK || exitRequested) {
      KWLOG("DoHandshake, failed with res=%d", static_cast<int>(result));
      return false;
    }

    KWLCCloudHandshakeJSONParser parser(reply.m_data.m_data);
    parser.Parse();
    const KWLCCloudHandshakeResponseStruct& response = parser.GetResponse();
    if (response.m_result != "success") {
      KWLOG("DoHandshake, errorCode:%s.", response.m_result.c_str());
      return false;
    }
    // One of our keys that is there but unusable must not turn into no key
    // at all: no digest would accept the image unverified.
    if (!response.m_malformed.empty()) {
      KWLOG("DoHandshake, malformed %s, reply refused", response.m_malformed.c_str());
      return false;
    }
    // In a signed build nothing of the reply is used unless the release's
    // own key vouches for what decides what runs.
    const LCReleaseVerifier& verifier = ReleaseVerifier();
    std::string keyId;
    if (verifier.IsSigned()) {
      LCReleaseManifest manifest;
      manifest.m_sha256 = response.m_imageSHA256;
      manifest.m_sizeBytes = response.m_imageSizeBytes;
      manifest.m_buildNumber = response.m_clvBuildNumber.GetUTF8String();
      manifest.m_launchPath = response.m_clvInstallPath.GetUTF8String();
      manifest.m_expiresUTCSeconds = response.m_expiresUTCSeconds;
      const time_t now = time(nullptr);
      const uint64_t nowUTCSeconds = now > 0 ? static_cast<uint64_t>(now) : 0;
      std::string why;
      bool expired = false;
      if (!verifier.Verify(manifest, response.m_signature, nowUTCSeconds, keyId, why, &expired)) {
        KWLOG("DoHandshake, release refused: %s", why.c_str());
        // The server's time is not signed: it only tells a wrong local clock
        // from a stale server, for the log and the box's wording.
        const uint64_t serverUTCSeconds = response.m_cloudParams.m_serverUTCTimeS;
        const uint64_t skew =
            serverUTCSeconds > nowUTCSeconds ? serverUTCSeconds - nowUTCSeconds : nowUTCSeconds - serverUTCSeconds;
        const bool clockWrong = serverUTCSeconds != 0 && skew > kClockSkewSeconds;
        if (clockWrong) {
          KWLOG("DoHandshake, the local clock (%llu) is %llu s off the server's (%llu)",
                static_cast<unsigned long long>(nowUTCSeconds), static_cast<unsigned long long>(skew),
                static_cast<unsigned long long>(serverUTCSeconds));
        }
        m_handshakeRefusal = expired && clockWrong ? kHandshakeRefusedClockWrong : kHandshakeRefused;
        return false;
      }
      KWLOG("DoHandshake, release signed by key %s", keyId.c_str());
    } else {
      static std::once_flag s_unsignedLogged;
      std::call_once(s_unsignedLogged, [] { KWLOG("DoHandshake, unsigned release build"); });
    }
    m_downloadURL = response.m_clvDownloadURL;
    m_buildNumber = response.m_clvBuildNumber;
    m_launchPath = KWPath(response.m_clvInstallPath);
    m_imageSHA256 = KWString(response.m_imageSHA256);
    m_imageSizeBytes = verifier.IsSigned() ? response.m_imageSizeBytes : 0;
    return true;
  } catch (...) {
    KWLOG("DoHandshake, Caught unknown exception.");
    return false;
  }
}
