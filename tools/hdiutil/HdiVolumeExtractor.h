// Copies the files of an ISO 9660 image (Rock Ridge and Joliet names) into a
// folder with libarchive, refusing the whole image at the first entry that
// could land outside the folder or that would fill the disk.
//
//   std::string error;
//   if (!HdiVolumeExtractor::Extract("/tmp/clv.iso", "/tmp/mount/.new", abortFlag, error)) cleanUp();
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct HdiExtractLimits {
  // libarchive inflates compressed (zisofs) files itself, so a small image can
  // expand to any size: the copy stops at this many bytes of file data...
  static constexpr uint64_t kMaxTotalBytes = 16ull << 30;
  // ...and before it would leave less than this free on the destination's
  // file system.
  static constexpr uint64_t kMinFreeBytes = 256ull << 20;

  uint64_t maxTotalBytes = kMaxTotalBytes;
  uint64_t minFreeBytes = kMinFreeBytes;
};

class HdiVolumeExtractor {
 public:
  // destination is an existing, empty folder. On failure it may hold part of
  // the volume; the caller removes it. Stops early once abort is set (a signal).
  static bool Extract(const std::string& imagePath, const std::string& destination, const std::atomic<bool>& abort,
                      std::string& error, const HdiExtractLimits& limits = HdiExtractLimits());
  // The same checks over an archive in any format libarchive reads, so that
  // entry sequences no ISO authoring tool writes can be replayed.
  static bool ExtractArchive(const std::string& archivePath, const std::string& destination,
                             const std::atomic<bool>& abort, std::string& error,
                             const HdiExtractLimits& limits = HdiExtractLimits());
};
