// The handshake reply: a JSON document whose keys are found by name at any
// depth (a sorted, depth-first walk; the last one met wins). Our own keys
// ("sha256", "size", "expires", "signature") count only at the top level: a nested
// copy, wherever a server's template put it, must not override them.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "KWLCCloudStructs.h"
#include "KWString.h"

struct KWLCCloudHandshakeResponseStruct {
  KWString m_result;
  KWString m_clvDownloadURL;
  KWString m_clvInstallPath;
  KWString m_clvBuildNumber;
  // "sha256": the image's digest, 64 hex digits in lower case; empty when absent.
  std::string m_imageSHA256;
  // "size": the image's size in bytes; 0 when absent.
  uint64_t m_imageSizeBytes = 0;
  // "expires": the UTC second from which the release is refused; 0 when absent.
  uint64_t m_expiresUTCSeconds = 0;
  // "signature": base64 text as sent; empty when absent.
  std::string m_signature;
  // Set when one of our keys is present but unusable (null, empty, another
  // type, out of range): why, for the log. Such a reply is refused as a whole,
  // never read as if the key were absent.
  std::string m_malformed;
  KWLCCloudParams m_cloudParams;
};

class KWLCCloudHandshakeJSONParser {
 public:
  // Throws KWLCException when the text is not JSON.
  explicit KWLCCloudHandshakeJSONParser(const std::string& reply);
  void Parse();
  const KWLCCloudHandshakeResponseStruct& GetResponse() const { return m_response; }

 private:
  void RecursiveParse(Json::Value& value, const std::string& name);
  void ParseTopLevel();

  Json::Value m_root;
  KWLCCloudHandshakeResponseStruct m_response;
};
