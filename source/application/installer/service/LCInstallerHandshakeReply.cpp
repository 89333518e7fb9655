#include "LCInstallerHandshakeReply.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "KWException.h"
#include "KWLCSha256.h"

namespace {

const KWString kCLVDownloadURL("clvdownloadUrl");
const KWString kCLVInstallPath("clvinstallPath");
const KWString kCLVBuildNumber("clvbuildNumber");
const char* const kImageSHA256 = "sha256";
const char* const kImageSize = "size";
const char* const kExpires = "expires";
const char* const kSignature = "signature";
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

}  // namespace

KWLCCloudHandshakeJSONParser::KWLCCloudHandshakeJSONParser(const std::string& reply) {
// The classic reader is what the service's replies were written against
// (comments allowed, any root value); keep it despite its deprecation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader{Json::Features()};
  const bool parsed = reader.parse(reply, m_root, true);
#pragma GCC diagnostic pop
  if (!parsed) throw KWLCException("kKWErrorInternal", "source/application/installer/LCInstallerService", 212, true);
}

void KWLCCloudHandshakeJSONParser::Parse() {
  m_response = KWLCCloudHandshakeResponseStruct();
  RecursiveParse(m_root, "m_root");
  ParseTopLevel();
}

void KWLCCloudHandshakeJSONParser::ParseTopLevel() {
  if (!m_root.isObject()) return;
  const auto refuse = [this](const char* key, const std::string& why) {
    if (m_response.m_malformed.empty()) m_response.m_malformed = std::string(key) + " " + why;
  };
  if (const Json::Value* digest = m_root.find(kImageSHA256, kImageSHA256 + strlen(kImageSHA256))) {
    if (!digest->isString())
      refuse(kImageSHA256, "is not a string");
    else if (!KWLCSha256::ParseHex(digest->asString(), m_response.m_imageSHA256))
      refuse(kImageSHA256, "\"" + digest->asString() + "\"");
  }
  // A JSON integer that a file size or a time can hold; "12", 12.0 or 1.5 is
  // not one.
  const auto positive = [this, &refuse](const char* key, uint64_t& into) {
    const Json::Value* value = m_root.find(key, key + strlen(key));
    if (value == nullptr) return;
    const bool integer = value->type() == Json::intValue || value->type() == Json::uintValue;
    if (!integer || !value->isUInt64() || value->asUInt64() == 0 ||
        value->asUInt64() > static_cast<uint64_t>(INT64_MAX))
      refuse(key, "is not a positive whole number");
    else
      into = value->asUInt64();
  };
  positive(kImageSize, m_response.m_imageSizeBytes);
  positive(kExpires, m_response.m_expiresUTCSeconds);
  if (const Json::Value* signature = m_root.find(kSignature, kSignature + strlen(kSignature))) {
    if (!signature->isString() || signature->asString().empty())
      refuse(kSignature, "is not a non-empty string");
    else
      m_response.m_signature = signature->asString();
  }
}

void KWLCCloudHandshakeJSONParser::RecursiveParse(Json::Value& value, const std::string& name) {
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
