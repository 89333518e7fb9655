// Folders, temporary files and the executable's location.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KWFile.h"

class KWFileUtil {
 public:
  // $TMPDIR, else /tmp.
  static KWFile GetSystemTempFolder();
  // A folder unique to this process inside the system temporary folder,
  // created on first use. Removed by DeleteAllTempFilesCreated.
  static KWFile GetSessionTempFolder();
  // macOS: ~/Library/Application Support. Elsewhere: $XDG_DATA_HOME or ~/.local/share.
  static KWPath GetUserApplicationDataFolder();
  // macOS: ~/Library/Preferences/NAME. Elsewhere: ($XDG_CONFIG_HOME or ~/.config)/NAME.
  static KWPath GetUserPreferenceFolder(const KWString& name);
  // macOS: ~/Library/Caches/NAME. Elsewhere: ($XDG_CACHE_HOME or ~/.cache)/NAME.
  static KWPath GetUserCacheFolder(const KWString& name);

  // Creates a new empty file whose name starts with the prefix inside the
  // session folder. A name is never handed out twice in a process.
  // Returns an empty KWFile when the file cannot be created.
  static KWFile GetUniqueTemporaryFile(const KWString& prefix);
  // Deletes every file made by GetUniqueTemporaryFile and the session folder
  // with everything inside it. Safe to call more than once.
  static void DeleteAllTempFilesCreated();
  // Removes the session folders that earlier processes of this user left in
  // the system temporary folder when they crashed or were killed: those
  // whose process is gone. A live process's folder is kept, and nothing on
  // another file system (a volume still attached) is entered. Returns how
  // many were removed.
  static int DeleteStaleSessionFolders();

  // The application bundle (the ".app" folder that holds the executable) when
  // there is one, else the folder of the executable.
  static KWPath GetCurrentExecutablePath();
  // The executable file itself.
  static KWPath GetExecutableFile();

  static KWString GetFileName(const KWPath& path) { return path.GetFileName(); }
  static KWString GetFileName(const KWFile& file) { return file.GetPath().GetFileName(); }
  static KWString GetDirectorySeparator() { return "/"; }

  // Creates the folder (and, with createParents, every missing parent).
  // True when the folder exists afterwards.
  static bool CreateDirectory(const KWPath& path, bool createParents);
  // Bytes free for an unprivileged user on the folder's file system; the
  // most a uint64_t holds when that cannot be told.
  static uint64_t GetFreeDiskBytes(const KWPath& folder);
  // The names in a folder, "." and ".." left out, in no particular order;
  // empty when the folder cannot be read.
  static std::vector<std::string> GetFolderEntryNames(const KWPath& path);
  // Removes a folder and everything below it without following links.
  // True when nothing is left at the path.
  static bool DeleteDirectoryTree(const KWPath& path);
};
