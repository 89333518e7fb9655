#include "KWLCCloudStructs.h"
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
      m_serverUTCTimeS(0) {}

void KWLCCloudParams::SetIsHandShakeOkay(bool okay) {
  m_isHandShakeOkay = okay;
  m_handShakeExpiryTickNS100 = okay ? KWGetTickCountSinceAppStartTimeNS100() + kHandshakeLifetimeNS100 : 0;
}

void KWLCCloudParams::SetServerUTCTimeS(const unsigned long long& seconds) { m_serverUTCTimeS = seconds; }
