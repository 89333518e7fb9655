#include "KWLCCurlMultipartFileDownloader.h"

#include <cctype>
#include <cstdio>
#include <list>

#include "KWAutoPtr.h"
#include "KWException.h"
#include "KWLCCurlFileDownloadService.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCSha256.h"
#include "KWLogger.h"
#include "KWRefcountedPtr.h"
#include "KWStream.h"

namespace {

const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCurlMultipartFileDownloader";

// Failed joins allowed before failed parts stay failed: 9 restarts in all,
// shared by every part of the file.
const int kMaxFailedJoins = 10;

[[noreturn]] void ThrowInternal(int line) { throw KWLCException("kKWErrorInternal", kThisFile, line, false); }

}  // namespace

KWLCCurlMultipartFileDownloader::KWLCCurlMultipartFileDownloader(const KWLCCloudParams& cloudParams,
                                                                 IKWCustomExceptionHandler& exceptionHandler,
                                                                 const KWAbortFlag& abortFlag,
                                                                 const KWFile& destinationFile, const KWString& url)
    : m_cloudParams(cloudParams),
      m_url(url),
      m_exceptionHandler(exceptionHandler),
      m_abortFlag(abortFlag),
      m_destinationFile(destinationFile),
      m_fileSizeBytes(0),
      m_progressCallback(nullptr),
      m_progressCallbackData(nullptr) {}

KWLCCurlMultipartFileDownloader::~KWLCCurlMultipartFileDownloader() = default;

void KWLCCurlMultipartFileDownloader::Initialize() { KWLOG("KWLCCurlMultipartFileDownloader::Initialize"); }

uint64_t KWLCCurlMultipartFileDownloader::GetNumParts(uint64_t fileSizeBytes, uint64_t partSizeBytes) {
  if (partSizeBytes == 0) return 0;
  return fileSizeBytes / partSizeBytes + (fileSizeBytes % partSizeBytes != 0 ? 1 : 0);
}

uint32_t KWLCCurlMultipartFileDownloader::CombinePartProgress(const std::map<uint64_t, uint32_t>& partProgress,
                                                              uint64_t numParts) {
  uint32_t sum = 0;
  for (const auto& part : partProgress) sum += part.second;
  if (numParts == 0) return sum;
  return static_cast<uint32_t>(static_cast<float>(sum) / static_cast<float>(numParts) + 0.5f);
}

bool KWLCCurlMultipartFileDownloader::OnProgress(const void* data, const int& percent) const {
  if (data == nullptr) return false;
  const KWLCCurlFileDownloadService* part = static_cast<const KWLCCurlFileDownloadService*>(data);
  uint32_t overall;
  {
    KWLock lock(m_partProgressMutex);
    m_partProgress[part->GetPartNumber()] = static_cast<uint32_t>(percent);
    overall = CombinePartProgress(m_partProgress, GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes));
  }
  // The receiver is called outside the lock: it may be slow, and it may call back.
  if (m_progressCallback != nullptr) return m_progressCallback->OnProgress(m_progressCallbackData, overall);
  return true;
}

void KWLCCurlMultipartFileDownloader::SetExpectedSHA256(const KWString& hexDigest) {
  m_expectedSHA256 = hexDigest.GetUTF8String();
  for (char& c : m_expectedSHA256) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

bool KWLCCurlMultipartFileDownloader::HasExpectedDigest() {
  if (m_expectedSHA256.empty()) return true;
  KWLCSha256 hash;
  FILE* file = fopen(m_destinationFile.GetPath().GetPathAsKWString().GetUTF8String().c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<char> buffer(1 << 20);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0) hash.Update(buffer.data(), got);
  const bool readAll = ferror(file) == 0;
  fclose(file);
  const std::string actual = hash.FinalHex();
  if (readAll && actual == m_expectedSHA256) return true;
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, SHA-256 mismatch: expected %s, got %s",
        m_expectedSHA256.c_str(), readAll ? actual.c_str() : "(unreadable)");
  m_destinationFile.Delete();
  return false;
}

bool KWLCCurlMultipartFileDownloader::DownloadFile() {
  KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile");
  {
    KWLock lock(m_partProgressMutex);
    m_partProgress.clear();
  }
  // Released on every way out; releasing a service waits for its thread.
  std::list<KWRefcountedPtr<KWLCCurlFileDownloadService>> parts;
  uint64_t numParts = 0;
  try {
    if (m_cloudParams.m_downloadPartSizeBytes == 0) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, m_downloadPartSizeBytes == 0");
      return false;
    }
    if (m_fileSizeBytes == 0) {
      KWLCCurlFileDownloader sizeQuery;
      m_fileSizeBytes = sizeQuery.GetFileSizeBytesFromURL(m_url, m_cloudParams, m_headerList, m_abortFlag);
    }
    if (m_fileSizeBytes == 0) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, fileSizeBytes == 0");
      ThrowInternal(__LINE__);
    }
    // Every part is a thread: a size that no product image has (a broken or
    // hostile reply) must not make the process start millions of them.
    if (GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes) > kMaxParts) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, refusing %llu bytes in more than %llu parts",
            static_cast<unsigned long long>(m_fileSizeBytes), static_cast<unsigned long long>(kMaxParts));
      m_fileSizeBytes = 0;
      return false;
    }
    numParts = GetNumParts(m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes);

    for (uint64_t number = 0; number < numParts; ++number) {
      KWRefcountedPtr<KWLCCurlFileDownloadService> part(
          new KWLCCurlFileDownloadService(m_cloudParams, m_abortFlag, m_exceptionHandler, m_destinationFile, m_url));
      part->SetPartNumber(number);
      part->SetFileSizeBytes(m_fileSizeBytes);
      part->SetHeaderList(m_headerList);
      part->SetProgressCallback(this);
      part->SetProgressCallbackData(part.get());
      parts.push_back(part);
      part->StartService();
    }

    uint64_t successCount = 0;
    int restarts = 0;
    for (const KWRefcountedPtr<KWLCCurlFileDownloadService>& part : parts) {
      if (!part) ThrowInternal(__LINE__);
      for (;;) {
        part->Join();
        if (part->IsSuccess()) {
          ++successCount;
          break;
        }
        ++restarts;
        if (m_abortFlag || restarts >= kMaxFailedJoins) break;
        part->StartService();
      }
    }

    OnPartsCollected();
    // An abort that comes after the last part arrived still means the caller
    // no longer wants the file: nothing is joined.
    const bool complete = successCount == numParts && !m_abortFlag;
    const bool joined = complete && JoinParts(numParts);

    for (uint64_t number = 0; number < numParts; ++number) {
      KWLCCurlFileDownloadService::GetPartFile(m_destinationFile, number).Delete();
    }

    if (successCount != numParts) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, successCount != numParts");
      return false;
    }
    if (!complete) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, aborted before the parts were joined");
      return false;
    }
    return joined && HasExpectedDigest();
  } catch (...) {
    KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, caught Exception.");
    // Part files are removed on this path too, once no part thread can
    // still be writing one.
    parts.clear();
    for (uint64_t number = 0; number < numParts; ++number) {
      KWLCCurlFileDownloadService::GetPartFile(m_destinationFile, number).Delete();
    }
    return false;
  }
}

bool KWLCCurlMultipartFileDownloader::JoinParts(uint64_t numParts) {
  KWAutoPtr<IKWStream> destination(KWStreamUtil::CreateFileStreamWrite(m_destinationFile, 2, 0x3F3F3F3F, 0x3F3F3F3F));
  if (!destination) ThrowInternal(__LINE__);
  bool joined = true;
  for (uint64_t number = 0; number < numParts && joined; ++number) {
    const KWFile partFile = KWLCCurlFileDownloadService::GetPartFile(m_destinationFile, number);
    const uint64_t expected =
        KWLCCurlFileDownloadService::GetPartRange(number, m_fileSizeBytes, m_cloudParams.m_downloadPartSizeBytes, 1)
            .m_lengthBytes;
    KWAutoPtr<IKWStream> source(KWStreamUtil::CreateFileStreamRead(partFile, 1, 0x3F3F3F3F, 0x3F3F3F3F));
    if (!source) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, cannot open part file %s", partFile.GetPath().c_str());
      joined = false;
      break;
    }
    const uint64_t copied = KWStreamUtil::StreamCopy(*source, *destination);
    if (copied != expected || destination->GetState() == IKWStream::kKWStreamStateFailed) {
      KWLOG("KWLCCurlMultipartFileDownloader::DownloadFile, copied %llu of %llu bytes of part file %s",
            static_cast<unsigned long long>(copied), static_cast<unsigned long long>(expected),
            partFile.GetPath().c_str());
      joined = false;
    }
  }
  destination.reset();
  // A destination that misses data must not be mistaken for the file.
  if (!joined) m_destinationFile.Delete();
  return joined;
}
