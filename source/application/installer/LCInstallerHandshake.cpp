// The handshake: one GET of "/handshake" whose JSON reply says where the
// product image is, which build it is and what to launch once installed.

// The transfer uses libcurl's classic progress function, which newer headers
// mark deprecated; it is still supported.
#define CURL_DISABLE_DEPRECATION 1

#include <curl/curl.h>
#include <json/json.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KWException.h"
#include "KWLCCloudUtils.h"
#include "KWLogger.h"
#include "KWSystemUtils.h"
#include "LCInstallerService.h"

namespace {

const KWString kCLVDownloadURL("clvdownloadUrl");
const KWString kCLVInstallPath("clvinstallPath");
const KWString kCLVBuildNumber("clvbuildNumber");
const KWString kExitErrorMessage("exitMessage");
const KWString kServerUTCTimeS("serverUTCTimeS");
const KWString kCouponPublishesLeft("couponPublishesLeft");
const KWString kMultipartUploadHostURL("multipartUploadHostURL");
const KWString kMultipartUploadBucketName("multipartUploadBucketName");
const KWString kAWSAccessKey("awsaccessKey");
const KWString kAWSSecretKey("awssecretKey");
const KWString kRedeemedPromoCode("redeemedPromoCode");
const KWString kPromoCode("promoCode");
const KWString kIsHandshakeOkay("isHandshakeOkay");
const KWString kIsMultipartUpload("isMultipartUpload");
const KWString kIsServiceEnabled("isServiceEnabled");
const KWString kIsFreePublish("isFreePublish");

const KWString kDeviceTokenHTTPHeader("deviceToken");
const KWString kNumberofProjectsHTTPHeader("numberofProjects");
const KWString kOSVersionHTTPHeader("OSVersion");
const KWString kClientCampaignHTTPHeader("ClientCampaign");

// A reply is a few hundred bytes; anything past this is not a handshake
// reply and is not worth holding in memory.
const size_t kMaxReplyBytes = 1024 * 1024;

struct KWLCCloudHandshakeResponseStruct {
  KWString m_result;
  KWString m_clvDownloadURL;
  KWString m_clvInstallPath;
  KWString m_clvBuildNumber;
  KWLCCloudParams m_cloudParams;
};

class KWLCCloudHandshakeJSONParser {
 public:
  explicit KWLCCloudHandshakeJSONParser(const std::string& reply) {
// The classic reader is what the service's replies were written against
// (comments allowed, any root value); keep it despite its deprecation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader{Json::Features()};
    const bool parsed = reader.parse(reply, m_root, true);
#pragma GCC diagnostic pop
    if (!parsed) throw KWLCException("kKWErrorInternal", "source/application/installer/LCInstallerService", 212, true);
  }

  void Parse() {
    m_response = KWLCCloudHandshakeResponseStruct();
    RecursiveParse(m_root, "m_root");
  }

  const KWLCCloudHandshakeResponseStruct& GetResponse() const { return m_response; }

 private:
  void RecursiveParse(Json::Value& value, const std::string& name) {
    KWLCCloudParams& params = m_response.m_cloudParams;
    switch (value.type()) {
      case Json::objectValue: {
        std::vector<std::string> names = value.getMemberNames();
        std::sort(names.begin(), names.end());
        for (const std::string& member : names) RecursiveParse(value[member], member);
        break;
      }
      case Json::stringValue: {
        const KWString text(value.asString());
        if (name == "result")
          m_response.m_result = text;
        else if (name == kCLVDownloadURL)
          m_response.m_clvDownloadURL = text;
        else if (name == kCLVInstallPath)
          m_response.m_clvInstallPath = text;
        else if (name == kCLVBuildNumber)
          m_response.m_clvBuildNumber = text;
        else if (name == kExitErrorMessage)
          params.m_exitErrorMessage = text;
        else if (name == kMultipartUploadHostURL)
          params.m_multipartUploadHostURL = text;
        else if (name == kMultipartUploadBucketName)
          params.m_multipartUploadBucketName = text;
        else if (name == kAWSAccessKey)
          params.m_awsAccessKey = text;
        else if (name == kAWSSecretKey)
          params.m_awsSecretKey = text;
        else if (name == kRedeemedPromoCode)
          params.m_redeemedPromoCode = text;
        else if (name == kPromoCode)
          params.m_promoCode = text;
        break;
      }
      case Json::intValue:
        if (name == kServerUTCTimeS) {
          params.SetServerUTCTimeS(static_cast<unsigned long long>(value.asInt64()));
        } else if (name == kCouponPublishesLeft && value.isInt()) {
          params.m_numCouponPublishesLeft = value.asInt();
        }
        break;
      case Json::uintValue:
        if (name == kServerUTCTimeS) params.SetServerUTCTimeS(value.asUInt64());
        break;
      case Json::booleanValue:
        if (name == kIsHandshakeOkay)
          params.SetIsHandShakeOkay(value.asBool());
        else if (name == kIsMultipartUpload)
          params.m_isMultipartUpload = value.asBool();
        else if (name == kIsServiceEnabled)
          params.m_isServiceEnabled = value.asBool();
        else if (name == kIsFreePublish)
          params.m_isFreePublish = value.asBool();
        break;
      default:
        break;  // null, real and array values carry nothing we use
    }
  }

  Json::Value m_root;
  KWLCCloudHandshakeResponseStruct m_response;
};

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

}  // namespace

// Exposed for the reply fuzzer: walks any reply text without a network.
bool LCInstallerParseHandshakeReply(const std::string& reply, KWString& result, KWString& downloadURL,
                                    KWString& buildNumber, KWString& installPath) {
  try {
    KWLCCloudHandshakeJSONParser parser(reply);
    parser.Parse();
    result = parser.GetResponse().m_result;
    downloadURL = parser.GetResponse().m_clvDownloadURL;
    buildNumber = parser.GetResponse().m_clvBuildNumber;
    installPath = parser.GetResponse().m_clvInstallPath;
    return true;
  } catch (...) {
    return false;
  }
}

bool LCInstallerService::DoHandshake(const KWLCCloudParams& params) {
  KWLOG("LCInstallerService::DoHandshake");
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
      curl_easy_setopt(transfer.curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(transfer.curl, CURLOPT_WRITEDATA, &reply);
      curl_easy_setopt(transfer.curl, CURLOPT_WRITEFUNCTION, BoundedStringWrite);
      curl_easy_setopt(transfer.curl, CURLOPT_READDATA, &readData);
      curl_easy_setopt(transfer.curl, CURLOPT_READFUNCTION, KWLCCloudUtils::CurlFileReadCallback);
      curl_easy_setopt(transfer.curl, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(transfer.curl, CURLOPT_PROGRESSDATA, &progressData);
      curl_easy_setopt(transfer.curl, CURLOPT_PROGRESSFUNCTION, KWLCCloudUtils::CurlProgressCallback);
      if (!exitRequested) result = curl_easy_perform(transfer.curl);
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
    m_downloadURL = response.m_clvDownloadURL;
    m_buildNumber = response.m_clvBuildNumber;
    m_launchPath = KWPath(response.m_clvInstallPath);
    return true;
  } catch (...) {
    KWLOG("DoHandshake, Caught unknown exception.");
    return false;
  }
}
