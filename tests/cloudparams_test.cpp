#include <gtest/gtest.h>

#include "KWLCCloudStructs.h"
#include "KWTimer.h"

namespace {

TEST(KWLCCloudParamsTest, DefaultsMatchTheDeployment) {
  const KWLCCloudParams params;
  EXPECT_FALSE(params.m_host.empty());
  EXPECT_EQ(params.m_port, "443");
  EXPECT_TRUE(params.m_basePath.empty());
  EXPECT_EQ(params.m_connectTimeoutMS, 0);
  EXPECT_EQ(params.m_responseTimeoutMS, 60000);
  EXPECT_TRUE(params.m_useHTTPS);
  EXPECT_TRUE(params.m_caCertPath.IsEmpty());
  EXPECT_EQ(params.m_numDownloadThreads, 16u);
  EXPECT_EQ(params.m_downloadPartSizeBytes, 10485760u);
  EXPECT_FALSE(params.m_useProxy);
  EXPECT_EQ(params.m_proxyPort, 0);
  EXPECT_FALSE(params.m_isHandShakeOkay);
  EXPECT_EQ(params.m_handShakeExpiryTickNS100, 0u);
}

TEST(KWLCCloudParamsTest, HandshakeExpiryIsFortyEightHoursAheadAndClearedAgain) {
  KWLCCloudParams params;
  const uint64_t before = KWGetTickCountSinceAppStartTimeNS100();
  params.SetIsHandShakeOkay(true);
  const uint64_t after = KWGetTickCountSinceAppStartTimeNS100();
  EXPECT_TRUE(params.m_isHandShakeOkay);
  EXPECT_GE(params.m_handShakeExpiryTickNS100, before + 1728000000000ULL);
  EXPECT_LE(params.m_handShakeExpiryTickNS100, after + 1728000000000ULL);
  params.SetIsHandShakeOkay(false);
  EXPECT_FALSE(params.m_isHandShakeOkay);
  EXPECT_EQ(params.m_handShakeExpiryTickNS100, 0u);
}

TEST(KWLCCloudParamsTest, CopyAssignmentCopiesEveryField) {
  KWLCCloudParams source;
  source.m_host = "h";
  source.m_port = "8443";
  source.m_basePath = "base";
  source.m_connectTimeoutMS = 1500;
  source.m_responseTimeoutMS = 1;
  source.m_useHTTPS = false;
  source.m_caCertPath = KWPath("/ca.pem");
  source.m_isServiceEnabled = false;
  source.m_isMultipartUpload = false;
  source.m_numDownloadThreads = 128;
  source.m_multipartUploadHostURL = "u";
  source.m_multipartUploadBucketName = "b";
  source.m_downloadPartSizeBytes = 1ULL << 40;
  source.m_awsAccessKey = "ak";
  source.m_awsSecretKey = "sk";
  source.m_isFreePublish = true;
  source.m_promoCode = "p";
  source.m_redeemedPromoCode = "r";
  source.m_numCouponPublishesLeft = -2;
  source.m_exitErrorMessage = "e";
  source.m_useProxy = true;
  source.m_proxyHost = "ph";
  source.m_proxyPort = 3128;
  source.m_proxyType = "http";
  source.m_proxyUserPassword = "u:p";
  source.SetIsHandShakeOkay(true);
  source.SetServerUTCTimeS(18446744073709551615ULL);

  KWLCCloudParams copy;
  copy = source;
  EXPECT_EQ(copy.m_host, "h");
  EXPECT_EQ(copy.m_port, "8443");
  EXPECT_EQ(copy.m_basePath, "base");
  EXPECT_EQ(copy.m_connectTimeoutMS, 1500);
  EXPECT_EQ(copy.m_responseTimeoutMS, 1);
  EXPECT_FALSE(copy.m_useHTTPS);
  EXPECT_EQ(copy.m_caCertPath, KWPath("/ca.pem"));
  EXPECT_FALSE(copy.m_isServiceEnabled);
  EXPECT_FALSE(copy.m_isMultipartUpload);
  EXPECT_EQ(copy.m_numDownloadThreads, 128u);
  EXPECT_EQ(copy.m_multipartUploadHostURL, "u");
  EXPECT_EQ(copy.m_multipartUploadBucketName, "b");
  EXPECT_EQ(copy.m_downloadPartSizeBytes, 1ULL << 40);
  EXPECT_EQ(copy.m_awsAccessKey, "ak");
  EXPECT_EQ(copy.m_awsSecretKey, "sk");
  EXPECT_TRUE(copy.m_isFreePublish);
  EXPECT_EQ(copy.m_promoCode, "p");
  EXPECT_EQ(copy.m_redeemedPromoCode, "r");
  EXPECT_EQ(copy.m_numCouponPublishesLeft, -2);
  EXPECT_EQ(copy.m_exitErrorMessage, "e");
  EXPECT_TRUE(copy.m_useProxy);
  EXPECT_EQ(copy.m_proxyHost, "ph");
  EXPECT_EQ(copy.m_proxyPort, 3128);
  EXPECT_EQ(copy.m_proxyType, "http");
  EXPECT_EQ(copy.m_proxyUserPassword, "u:p");
  EXPECT_TRUE(copy.m_isHandShakeOkay);
  EXPECT_EQ(copy.m_handShakeExpiryTickNS100, source.m_handShakeExpiryTickNS100);
  EXPECT_EQ(copy.m_serverUTCTimeS, 18446744073709551615ULL);
}

}  // namespace
