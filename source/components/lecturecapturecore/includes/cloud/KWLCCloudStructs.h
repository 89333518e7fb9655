// KWLCCloudParams: where the web service is, how to reach it, how to split
// downloads, and what the last handshake reply said. A plain value.
#pragma once

#include <cstdint>

#include "KWPath.h"
#include "KWString.h"

// Largest number of parallel download handles.
#define MAX_DOWNLOAD_THREADS 128

// What a download may cost before a slow server counts as failed. A slow
// link is judged by the whole download, never by one connection: a part that
// still receives bytes is never dropped for being slow; a part that receives
// nothing for the quiet time is asked again from its last byte; an attempt
// fails once the whole download stays under the floor rate for the floor
// window, that many times in a row. The whole download, all its attempts
// together, ends at deadline floor + size / deadline rate. Generous on
// purpose: only a server that trickles meets them, and any steady link of
// 4 KiB/s completes.
struct KWLCSlowServerLimits {
  uint32_t m_partQuietSeconds = 10;
  uint64_t m_floorBytesPerSecond = 512;
  uint32_t m_floorWindowSeconds = 60;
  uint32_t m_floorWindows = 2;
  uint32_t m_deadlineFloorSeconds = 150;
  uint64_t m_deadlineBytesPerSecond = 2048;

  // The limits every new KWLCCloudParams starts with; tests shorten them.
  static KWLCSlowServerLimits Defaults();
  static void SetDefaults(const KWLCSlowServerLimits& limits);
  // floor + size / rate, in seconds.
  uint64_t DeadlineSeconds(uint64_t fileSizeBytes) const;
};

struct KWLCCloudParams {
  KWLCCloudParams();

  KWString m_host;
  KWString m_port;
  KWString m_basePath;
  int32_t m_connectTimeoutMS;
  int32_t m_responseTimeoutMS;
  bool m_useHTTPS;
  KWPath m_caCertPath;
  bool m_isServiceEnabled;
  bool m_isMultipartUpload;
  uint32_t m_numDownloadThreads;
  KWString m_multipartUploadHostURL;
  KWString m_multipartUploadBucketName;
  uint64_t m_downloadPartSizeBytes;
  KWString m_awsAccessKey;
  KWString m_awsSecretKey;
  bool m_isFreePublish;
  KWString m_promoCode;
  KWString m_redeemedPromoCode;
  int32_t m_numCouponPublishesLeft;
  KWString m_exitErrorMessage;
  bool m_useProxy;
  KWString m_proxyHost;
  int32_t m_proxyPort;
  KWString m_proxyType;
  KWString m_proxyUserPassword;
  bool m_isHandShakeOkay;
  uint64_t m_handShakeExpiryTickNS100;
  uint64_t m_serverUTCTimeS;
  KWLCSlowServerLimits m_slowServer;

  // True sets the expiry 48 hours from now on the tick clock; false clears it.
  void SetIsHandShakeOkay(bool okay);
  void SetServerUTCTimeS(const unsigned long long& seconds);
};
