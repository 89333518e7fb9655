#include "HdiVolumeExtractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HdiEntryPolicy.h"

namespace {

// libarchive's own guards on top of our checks: no writing through links, no
// "..", no absolute names. Owners are not restored and the mode is masked by
// the umask, so set-id bits never survive.
const int kExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                          ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
const size_t kReadBlockSize = 64 * 1024;

// libarchive writes relative to the working folder; this moves there for the
// extraction and back afterwards. The stand-in runs single-threaded.
class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const std::string& folder) : m_previous(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    m_entered = m_previous >= 0 && chdir(folder.c_str()) == 0;
  }
  ~ScopedWorkingFolder() {
    if (m_entered && fchdir(m_previous) != 0) m_entered = false;
    if (m_previous >= 0) close(m_previous);
  }
  ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
  ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;
  bool Entered() const { return m_entered; }

 private:
  int m_previous;
  bool m_entered = false;
};

class ArchivePair {
 public:
  ArchivePair() : m_reader(archive_read_new()), m_writer(archive_write_disk_new()) {}
  ~ArchivePair() {
    archive_read_free(m_reader);
    archive_write_free(m_writer);
  }
  ArchivePair(const ArchivePair&) = delete;
  ArchivePair& operator=(const ArchivePair&) = delete;
  struct archive* Reader() const {
    return m_reader;
  }
  struct archive* Writer() const {
    return m_writer;
  }

 private:
  struct archive* m_reader;
  struct archive* m_writer;
};

// A full disk reads as the real tool's "No space left on device".
std::string ArchiveError(struct archive* a) {
  const char* text = archive_error_string(a);
  std::string error = text != nullptr ? text : "unknown archive error";
  const int number = archive_errno(a);
  if (number == ENOSPC || number == EDQUOT) error += std::string(": ") + std::strerror(ENOSPC);
  return error;
}

// Applies the policy to one entry and rewrites its names to the checked form.
bool Admit(HdiEntryPolicy& policy, struct archive_entry* entry, std::string& reason) {
  const char* name = archive_entry_pathname(entry);
  std::string relative;
  if (name == nullptr || !policy.CheckPath(name, relative, reason)) {
    if (name == nullptr) reason = "entry without a name";
    return false;
  }
  archive_entry_set_pathname(entry, relative.c_str());
  if (const char* hardlink = archive_entry_hardlink(entry)) {
    std::string target;
    if (!policy.CheckHardlinkTarget(hardlink, target, reason)) return false;
    archive_entry_set_hardlink(entry, target.c_str());
    policy.ForgetRegularFile(relative);
    return true;
  }
  if (archive_entry_filetype(entry) != AE_IFREG) policy.ForgetRegularFile(relative);
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
      policy.RecordRegularFile(relative);
      // Readable by everyone, execute bits as the volume has them.
      archive_entry_set_perm(entry, 0644 | (archive_entry_perm(entry) & 0111));
      return true;
    case AE_IFDIR:
      // Writable by us so that detach can remove the tree.
      archive_entry_set_perm(entry, 0755);
      return true;
    case AE_IFLNK: {
      const char* target = archive_entry_symlink(entry);
      return policy.CheckSymlinkTarget(relative, target != nullptr ? target : "", reason);
    }
    default:
      reason = "device or other special file";
      return false;
  }
}

// Whether relative names a regular file below the working folder, reached
// through real folders only. Checked on disk just before a hard link is made:
// libarchive joins a link to whatever the name holds and does not mind a
// symbolic link there, which would then stand at the new name's folder depth.
bool IsRegularFileInside(const std::string& relative) {
  int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t start = 0;
  for (size_t slash = relative.find('/'); folder >= 0 && slash != std::string::npos;
       slash = relative.find('/', start)) {
    const int next =
        openat(folder, relative.substr(start, slash - start).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(folder);
    folder = next;
    start = slash + 1;
  }
  if (folder < 0) return false;
  struct stat info;
  const bool regular =
      fstatat(folder, relative.substr(start).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
  close(folder);
  return regular;
}

std::string InMiB(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// Counts the file data written into the working folder against the limits.
class ByteBudget {
 public:
  explicit ByteBudget(const HdiExtractLimits& limits) : m_limits(limits) {}

  // An entry whose declared size alone breaks the cap is refused before any
  // of it is written.
  bool Admits(int64_t declaredSize, std::string& error) const {
    if (declaredSize <= 0 || static_cast<uint64_t>(declaredSize) <= m_limits.maxTotalBytes - m_written) return true;
    error = TooLarge();
    return false;
  }

  bool Take(size_t size, std::string& error) {
    if (size > m_limits.maxTotalBytes - m_written) {
      error = TooLarge();
      return false;
    }
    struct statvfs fileSystem;
    if (statvfs(".", &fileSystem) == 0) {
      const uint64_t available = static_cast<uint64_t>(fileSystem.f_bavail) * fileSystem.f_frsize;
      if (available < size || available - size < m_limits.minFreeBytes) {
        error = std::string(std::strerror(ENOSPC)) + ": copying the volume would leave less than " +
                InMiB(m_limits.minFreeBytes);
        return false;
      }
    }
    m_written += size;
    return true;
  }

 private:
  std::string TooLarge() const { return "volume holds more than " + InMiB(m_limits.maxTotalBytes) + " of data"; }

  const HdiExtractLimits m_limits;
  uint64_t m_written = 0;
};

bool CopyData(struct archive* reader, struct archive* writer, const std::atomic<bool>& abort, ByteBudget& budget,
              std::string& error) {
  for (;;) {
    if (abort) {
      error = "interrupted";
      return false;
    }
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    const int result = archive_read_data_block(reader, &block, &size, &offset);
    if (result == ARCHIVE_EOF) return true;
    if (result < ARCHIVE_OK) {
      error = ArchiveError(reader);
      return false;
    }
    if (!budget.Take(size, error)) return false;
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_OK) {
      error = ArchiveError(writer);
      return false;
    }
  }
}

bool ExtractFrom(const std::string& path, bool anyFormat, const std::string& destination,
                 const std::atomic<bool>& abort, std::string& error, const HdiExtractLimits& limits) {
  ArchivePair archives;
  if (anyFormat) {
    archive_read_support_format_all(archives.Reader());
    archive_read_support_filter_all(archives.Reader());
  } else {
    archive_read_support_format_iso9660(archives.Reader());
  }
  archive_write_disk_set_options(archives.Writer(), kExtractFlags);
  if (archive_read_open_filename(archives.Reader(), path.c_str(), kReadBlockSize) != ARCHIVE_OK) {
    error = ArchiveError(archives.Reader());
    return false;
  }
  ScopedWorkingFolder workingFolder(destination);
  if (!workingFolder.Entered()) {
    error = destination + ": " + std::strerror(errno);
    return false;
  }
  HdiEntryPolicy policy;
  ByteBudget budget(limits);
  for (;;) {
    if (abort) {
      error = "interrupted";
      return false;
    }
    struct archive_entry* entry = nullptr;
    const int result = archive_read_next_header(archives.Reader(), &entry);
    if (result == ARCHIVE_EOF) break;
    if (result < ARCHIVE_WARN) {
      error = ArchiveError(archives.Reader());
      return false;
    }
    const char* rawName = archive_entry_pathname(entry);
    if (rawName != nullptr && archive_entry_filetype(entry) == AE_IFDIR && HdiEntryPolicy::NamesTop(rawName)) continue;
    const std::string shownName = HdiPrintableName(rawName != nullptr ? rawName : "");
    std::string reason;
    if (!Admit(policy, entry, reason)) {
      error = "refusing \"" + shownName + "\": " + reason;
      return false;
    }
    const char* hardlink = archive_entry_hardlink(entry);
    if (hardlink != nullptr && !IsRegularFileInside(hardlink)) {
      error = "refusing \"" + shownName + "\": hard link to something other than a file of the volume";
      return false;
    }
    const bool hasData = archive_entry_filetype(entry) == AE_IFREG && archive_entry_size(entry) > 0;
    if (hasData && !budget.Admits(archive_entry_size(entry), error)) {
      error = "refusing \"" + shownName + "\": " + error;
      return false;
    }
    if (archive_write_header(archives.Writer(), entry) < ARCHIVE_OK) {
      error = "\"" + shownName + "\": " + ArchiveError(archives.Writer());
      return false;
    }
    if (hasData && !CopyData(archives.Reader(), archives.Writer(), abort, budget, error)) {
      error = "\"" + shownName + "\": " + error;
      return false;
    }
    if (archive_write_finish_entry(archives.Writer()) < ARCHIVE_OK) {
      error = "\"" + shownName + "\": " + ArchiveError(archives.Writer());
      return false;
    }
  }
  if (archive_write_close(archives.Writer()) != ARCHIVE_OK) {
    error = ArchiveError(archives.Writer());
    return false;
  }
  return true;
}

}  // namespace

bool HdiVolumeExtractor::Extract(const std::string& imagePath, const std::string& destination,
                                 const std::atomic<bool>& abort, std::string& error, const HdiExtractLimits& limits) {
  return ExtractFrom(imagePath, false, destination, abort, error, limits);
}

bool HdiVolumeExtractor::ExtractArchive(const std::string& archivePath, const std::string& destination,
                                        const std::atomic<bool>& abort, std::string& error,
                                        const HdiExtractLimits& limits) {
  return ExtractFrom(archivePath, true, destination, abort, error, limits);
}
