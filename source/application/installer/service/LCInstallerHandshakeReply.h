// The handshake reply: a JSON document whose keys are found by name at any
// depth (a sorted, depth-first walk; the last one met wins).
#pragma once

#include <json/json.h>

#include <string>

#include "KWLCCloudStructs.h"
#include "KWString.h"

struct KWLCCloudHandshakeResponseStruct {
  KWString m_result;
  KWString m_clvDownloadURL;
  KWString m_clvInstallPath;
  KWString m_clvBuildNumber;
  // "sha256": the image's digest as the server sent it (validate before use).
  KWString m_imageSHA256;
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

  Json::Value m_root;
  KWLCCloudHandshakeResponseStruct m_response;
};
