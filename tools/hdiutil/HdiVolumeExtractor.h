// Copies the files of an ISO 9660 image (Rock Ridge and Joliet names) into a
// folder with libarchive, refusing the whole image at the first entry that
// could land outside the folder.
//
//   std::string error;
//   if (!HdiVolumeExtractor::Extract("/tmp/clv.iso", "/tmp/mount/.new", abortFlag, error)) cleanUp();
#pragma once

#include <atomic>
#include <string>

class HdiVolumeExtractor {
 public:
  // destination is an existing, empty folder. On failure it may hold part of
  // the volume; the caller removes it. Stops early once abort is set (a signal).
  static bool Extract(const std::string& imagePath, const std::string& destination, const std::atomic<bool>& abort,
                      std::string& error);
};
