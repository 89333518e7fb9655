#include "HdiVolumeExtractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
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

std::string ArchiveError(struct archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr ? text : "unknown archive error";
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
    return true;
  }
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

bool CopyData(struct archive* reader, struct archive* writer, const std::atomic<bool>& abort, std::string& error) {
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
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_OK) {
      error = ArchiveError(writer);
      return false;
    }
  }
}

}  // namespace

bool HdiVolumeExtractor::Extract(const std::string& imagePath, const std::string& destination,
                                 const std::atomic<bool>& abort, std::string& error) {
  ArchivePair archives;
  archive_read_support_format_iso9660(archives.Reader());
  archive_write_disk_set_options(archives.Writer(), kExtractFlags);
  if (archive_read_open_filename(archives.Reader(), imagePath.c_str(), kReadBlockSize) != ARCHIVE_OK) {
    error = ArchiveError(archives.Reader());
    return false;
  }
  ScopedWorkingFolder workingFolder(destination);
  if (!workingFolder.Entered()) {
    error = destination + ": " + std::strerror(errno);
    return false;
  }
  HdiEntryPolicy policy;
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
    if (archive_write_header(archives.Writer(), entry) < ARCHIVE_OK) {
      error = "\"" + shownName + "\": " + ArchiveError(archives.Writer());
      return false;
    }
    const bool hasData = archive_entry_filetype(entry) == AE_IFREG && archive_entry_size(entry) > 0;
    if (hasData && !CopyData(archives.Reader(), archives.Writer(), abort, error)) {
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
