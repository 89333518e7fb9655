// KWLCCurlMultipartFileDownloader: downloads one remote file by cutting it
// into parts, fetching each on its own thread into a part file, and joining
// the parts in order once every one has arrived.
//
//   KWLCCurlFileDownloader::Initialize(params);
//   KWLCCurlMultipartFileDownloader::Initialize();
//   KWLCCurlMultipartFileDownloader downloader(params, handler, exitFlag, destination, url);
//   downloader.SetProgressCallback(&receiver);
//   bool done = downloader.DownloadFile();   // may be called again after false
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "IKWLCCurlProgressCallback.h"
#include "KWAbortFlag.h"
#include "KWCustomException.h"
#include "KWFile.h"
#include "KWLCCloudStructs.h"
#include "KWString.h"
#include "KWThread.h"

class KWLCCurlMultipartFileDownloader : public IKWLCCurlProgressCallback {
 public:
  // The most parts one file may have (40 GiB at the default part size).
  static const uint64_t kMaxParts = 4096;

  KWLCCurlMultipartFileDownloader(const KWLCCloudParams& cloudParams, IKWCustomExceptionHandler& exceptionHandler,
                                  const KWAbortFlag& abortFlag, const KWFile& destinationFile, const KWString& url);
  KWLCCurlMultipartFileDownloader(const KWLCCurlMultipartFileDownloader&) = delete;
  KWLCCurlMultipartFileDownloader& operator=(const KWLCCurlMultipartFileDownloader&) = delete;

  // Called on the part threads, several at once, with the reporting part
  // service as data; folds that part's percent into the whole file's.
  bool OnProgress(const void* data, const int& percent) const override;
  virtual ~KWLCCurlMultipartFileDownloader();
  // True only when the destination holds the whole remote file. Never throws.
  virtual bool DownloadFile();

  static void Initialize();
  void SetProgressCallback(const IKWLCCurlProgressCallback* callback) { m_progressCallback = callback; }
  // The SHA-256 the whole file must have, in hex (either case); empty checks
  // nothing. A file with another digest is deleted and the call fails.
  void SetExpectedSHA256(const KWString& hexDigest);

  // ceil(fileSize / partSize); 0 for a part size of 0.
  static uint64_t GetNumParts(uint64_t fileSizeBytes, uint64_t partSizeBytes);
  // The mean of the parts' percents, rounded half up; parts that have not
  // reported count as 0. With no parts, the plain sum.
  static uint32_t CombinePartProgress(const std::map<uint64_t, uint32_t>& partProgress, uint64_t numParts);

 protected:
  // Called once every part has been collected, before the abort flag is
  // looked at and the parts are joined. Does nothing; lets a test act in
  // that window.
  virtual void OnPartsCollected() {}

 private:
  bool JoinParts(uint64_t numParts);
  bool HasExpectedDigest();

  const KWLCCloudParams& m_cloudParams;
  KWString m_url;
  IKWCustomExceptionHandler& m_exceptionHandler;
  const KWAbortFlag& m_abortFlag;
  KWFile m_destinationFile;
  std::vector<KWString> m_headerList;
  std::string m_expectedSHA256;  // lower case; empty = not checked
  uint64_t m_fileSizeBytes;
  const IKWLCCurlProgressCallback* m_progressCallback;
  const void* m_progressCallbackData;
  // Written by every part thread; guarded by m_partProgressMutex.
  mutable std::map<uint64_t, uint32_t> m_partProgress;
  mutable KWMutex m_partProgressMutex;
};
