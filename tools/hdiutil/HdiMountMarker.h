// The marker attach leaves at the top of every tree it creates. Detach removes
// a tree only when the marker is there, is a plain file, and names the very
// folder it sits in (device and inode), so a copied tree or an ordinary
// folder is never taken for a mount.
#pragma once

#include <string>

struct HdiMountRecord {
  std::string device;  // "/dev/diskN"
  std::string image;   // the image attached, as given
};

class HdiMountMarker {
 public:
  // Writes the marker into folder (which must not have one yet).
  static bool Write(const std::string& folder, const HdiMountRecord& record, std::string& error);
  // True when folder is a tree attach created; the record is filled from it.
  static bool Read(const std::string& folder, HdiMountRecord& record, std::string& error);
  // The disk number recorded in a marker of a folder, or -1 for none.
  static int DiskNumberOf(const std::string& folder);
};
