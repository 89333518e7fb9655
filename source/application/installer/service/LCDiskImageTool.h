// The disk-image tool: attaching the downloaded image and detaching it again.
// hdiutil on macOS; elsewhere the stand-in that ships beside the executable,
// which answers the same command lines the same way.
//
//   LCAttachOutcome attached = LCDiskImageTool::Attach(image, mountRoot, &exitRequested);
//   const std::string volume = LCDiskImageTool::VolumeHolding(attached.entities, mountRoot, "Setup");
//   ...
//   for (const std::string& disk : LCDiskImageTool::WholeDisks(attached.entities)) LCDiskImageTool::Detach(disk);
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "KWString.h"

// One entry of the tool's "system-entities": a device node and, for a
// volume it mounted, where.
struct LCDiskImageEntity {
  std::string device;      // "/dev/disk2", "/dev/disk2s1"
  std::string mountPoint;  // empty for the whole disk and unmounted slices
};

struct LCAttachOutcome {
  bool cancelled = false;  // the cancel flag ended the tool
  bool attached = false;   // the tool succeeded and its answer was read
  std::vector<LCDiskImageEntity> entities;
  // The tool's exit status; -1 when it did not run to its end.
  int exitCode = -1;
  // For the log: what it said on standard error, or why it did not end.
  std::string reason;
  // The tool failed for want of disk space ("No space left on device").
  bool outOfSpace = false;
};

class LCDiskImageTool {
 public:
  // "/usr/bin/hdiutil" on macOS, the stand-in beside the executable elsewhere.
  static KWString ToolPath();
  static std::vector<KWString> AttachArguments(const KWString& imagePath, const std::string& mountRoot);
  static std::vector<KWString> DetachArguments(const std::string& device, bool force);

  // The bytes that must be free in the temporary folder to download an image
  // of imageBytes and attach it: the image itself unless it is already on
  // disk (kept parts), the copy the attach may unpack, and what the tool
  // keeps free for itself. The one place that says how much is needed.
  static uint64_t DiskNeedBytes(uint64_t imageBytes, bool imageOnDisk);

  // The system entities of an "attach -plist" answer, in order. False when the
  // text is not a property list of that shape.
  static bool ReadSystemEntities(const std::string& plist, std::vector<LCDiskImageEntity>& entities);

  // The whole-disk devices ("/dev/diskN") the entities belong to, each once.
  // Detaching one takes every volume of that image with it.
  static std::vector<std::string> WholeDisks(const std::vector<LCDiskImageEntity>& entities);

  // The mount point, inside mountRoot once both are resolved, of the first
  // volume holding a folder named folderName; empty when none does.
  static std::string VolumeHolding(const std::vector<LCDiskImageEntity>& entities, const std::string& mountRoot,
                                   const std::string& folderName);

  // Attaches the image under mountRoot. The tool reads nothing (an image with
  // a licence agreement fails rather than waiting for an answer), and setting
  // cancel ends it.
  static LCAttachOutcome Attach(const KWString& imagePath, const std::string& mountRoot,
                                const std::atomic<bool>* cancel);

  // Detaches a whole disk with all its volumes; a second, forced try when the
  // first fails (a volume stays busy for a moment after its last user quit).
  // True when one of the tries succeeded.
  static bool Detach(const std::string& wholeDisk);
};
