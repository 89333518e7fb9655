// Decides which entries of a disk image may be written under a mount point.
// The names and link targets on a volume are untrusted: an image must never
// make the stand-in write, or later read through a link, outside the mount.
//
//   HdiEntryPolicy policy;
//   std::string relative, reason;
//   if (!policy.CheckPath("Ostrel Clipvane 11/deploy/a.xml", relative, reason)) refuse(reason);
#pragma once

#include <set>
#include <string>

class HdiEntryPolicy {
 public:
  // Name of the marker the stand-in writes at the top of every tree it attaches;
  // an image may not bring its own.
  static const char* const kMarkerName;

  // Normalises an entry path (drops a leading "./", "." components, repeated and
  // trailing slashes) into relative. Refuses absolute paths, "..", empty paths
  // and the marker's name at the top.
  bool CheckPath(const std::string& path, std::string& relative, std::string& reason) const;
  // "." or "./": the volume's own top folder, which the mount point stands for.
  static bool NamesTop(const std::string& path);

  // A relative link target is allowed when it climbs with leading ".." only,
  // no higher than the link's own folder depth, and then only descends. Links
  // that follow these rules resolve inside the tree even when chained through
  // one another; anything else (absolute, ".." in the middle, empty) is refused.
  bool CheckSymlinkTarget(const std::string& relativeLinkPath, const std::string& target, std::string& reason) const;

  // Hard links may only join regular files already extracted from the image;
  // linking to a symbolic link would move its target to another folder depth.
  bool CheckHardlinkTarget(const std::string& target, std::string& relative, std::string& reason) const;
  void RecordRegularFile(const std::string& relative) { m_regularFiles.insert(relative); }
  // An image may write a later entry over an earlier one of the same name (a
  // link over a file, a folder over a link); whatever now sits at relative, and
  // anything that was below it, is no longer a file a hard link may join.
  void ForgetRegularFile(const std::string& relative);

 private:
  std::set<std::string> m_regularFiles;
};

// The text with control characters and bytes outside printable ASCII shown as
// \xNN, so that a hostile name cannot rewrite the terminal or split a log line.
std::string HdiPrintableName(const std::string& name);
