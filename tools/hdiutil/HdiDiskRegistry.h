// Which mount points belong to which attached disk, so that "detach /dev/diskN"
// finds every volume of an image, wherever it was attached. One file per disk
// ("diskN", a mount point per line) in a folder of the user's own under /tmp;
// the disk number is claimed by creating the file, so concurrent attaches
// never share one.
#pragma once

#include <string>
#include <vector>

class HdiDiskRegistry {
 public:
  // Claims the lowest free disk number (2 and up, as on a typical Mac); a
  // number whose volumes are all gone is free again. -1 with a reason on failure.
  static int Claim(std::string& error);
  // Records the disk's mount points, replacing what was recorded.
  static bool Record(int disk, const std::vector<std::string>& mountPoints, std::string& error);
  // The mount points recorded for the disk; false when it is not attached.
  static bool MountPoints(int disk, std::vector<std::string>& mountPoints);
  // Gives the number back.
  static void Release(int disk);

 private:
  static int ClaimLocked(const std::string& folder, std::string& error);
};
