// Walks arbitrary text as a handshake reply: never crashes, whatever the
// nesting, types or size; a reply that parses always yields a record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "KWException.h"
#include "LCInstallerHandshakeReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    KWLCCloudHandshakeJSONParser parser(std::string(reinterpret_cast<const char*>(data), size));
    parser.Parse();
    const KWLCCloudHandshakeResponseStruct& reply = parser.GetResponse();
    // Every text field comes from the input, so none can be longer than it.
    if (reply.m_result.size() > size || reply.m_clvDownloadURL.size() > size) __builtin_trap();
  } catch (const KWLCException&) {
    // Not JSON: the handshake attempt fails, which is the defined outcome.
  } catch (const std::exception&) {
    // The reader's own limits (nesting depth) surface as exceptions.
  }
  return 0;
}
