// KWLCDownloadRecord: what of one destination file is already downloaded,
// and what vouches that those bytes are of the file wanted: the server's
// strong ETag, or the SHA-256 the whole file must have. Per part, the bytes
// on disk from the part's first byte. Used by one downloader at a time.
//
// With a record file the record outlives the process: the downloader saves
// it after the bytes it describes are on disk, and a later launch loads it
// and fetches only what is missing. A record file that does not read back
// exactly as written (torn, edited, another format) is not trusted.
//
//   KWLCDownloadRecord record;
//   record.SetRecordFile(cacheFolder + "/image.record");
//   downloader.SetDownloadRecord(&record);
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "KWFile.h"
#include "KWString.h"

class KWLCSha256;

class KWLCDownloadRecord {
 public:
  KWLCDownloadRecord();
  ~KWLCDownloadRecord();
  KWLCDownloadRecord(const KWLCDownloadRecord&) = delete;
  KWLCDownloadRecord& operator=(const KWLCDownloadRecord&) = delete;

  // True when some byte is kept; the destination then holds it.
  bool HasKeptParts() const;
  const KWFile& GetDestination() const { return m_destination; }
  // Forgets every kept byte; the destination file and the record file are left alone.
  void Forget();

  // Where the record is saved; empty (the default) keeps it in memory only.
  void SetRecordFile(const KWFile& file) { m_recordFile = file; }
  const KWFile& GetRecordFile() const { return m_recordFile; }
  // Reads the record file into this record. False, with the record
  // forgotten, when there is none or it is not exactly one this code wrote.
  bool Load();
  // Writes the record file whole or not at all (a new file renamed over the
  // old); the bytes it names must already be on disk. False when it could
  // not be written.
  bool Save() const;
  // When the kept bytes were first recorded (seconds since the epoch).
  time_t GetCreatedSeconds() const { return m_createdSeconds; }

  // Bytes kept in all.
  uint64_t GetKeptBytes() const;
  uint64_t GetPartLength(uint64_t number) const;
  bool IsPartFinished(uint64_t number) const { return m_doneBytes[number] >= GetPartLength(number); }

 private:
  friend class KWLCCurlMultipartFileDownloader;

  KWFile m_destination;
  KWFile m_recordFile;
  std::string m_url;
  KWString m_validator;  // strong ETag, or empty
  std::string m_expectedSHA256;
  uint64_t m_fileSizeBytes;
  uint64_t m_partSizeBytes;
  time_t m_createdSeconds;
  // Per part, the bytes on disk from its first byte.
  std::vector<uint64_t> m_doneBytes;
  // The digest of bytes [0, m_hashedBytes), which are all in finished parts.
  std::unique_ptr<KWLCSha256> m_hash;
  uint64_t m_hashedBytes;
};
