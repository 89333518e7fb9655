// The part transfers report through libcurl's classic progress function,
// which newer headers mark deprecated; it is still supported.
#define CURL_DISABLE_DEPRECATION 1

#include "KWLCCurlFileDownloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "KWException.h"
#include "KWFileUtil.h"
#include "KWLCBackoff.h"
#include "KWLCCloudUtils.h"
#include "KWLogger.h"
#include "KWProxy.h"
#include "OstrelAFL/AFile.h"

using namespace KWLCCloudUtils;

void* KWLCCurlFileDownloader::ms_pCurl[MAX_DOWNLOAD_THREADS + 1] = {};
KWMutex* KWLCCurlFileDownloader::ms_pCurlMutex[MAX_DOWNLOAD_THREADS + 1] = {};

namespace {

const char kThisFile[] = "source/components/lecturecapturecore/cloud/KWLCCurlFileDownloader";

const long kReceiveBufferBytes = 512 * 1024;
// Enough for a CDN's signed URL; a loop ends here rather than spinning
// requests until the time-out (older libcurl follows without a limit).
const long kMaxRedirects = 10;

[[noreturn]] void ThrowInternal(int line) { throw KWLCException("kKWErrorInternal", kThisFile, line, false); }

long ResponseCode(CURL* curl) {
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

// The header lines of the last response a transfer received (the end of a
// redirect chain, past a proxy's CONNECT reply and any 100 Continue), from
// libcurl's header callback: the floor's libcurl has no header API.
class FinalHeaders {
 public:
  static size_t Collect(char* data, size_t size, size_t count, void* userData) {
    FinalHeaders* headers = static_cast<FinalHeaders*>(userData);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) headers->m_lines.clear();
    if (!line.empty()) headers->m_lines.push_back(line);
    return bytes;
  }

  // The first field of that name (any case), spaces trimmed; empty when absent.
  std::string Get(const char* name) const {
    const std::string wanted = Lower(name);
    for (const std::string& line : m_lines) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos || Lower(line.substr(0, colon)) != wanted) continue;
      const size_t start = line.find_first_not_of(" \t", colon + 1);
      if (start == std::string::npos) return std::string();
      return line.substr(start, line.find_last_not_of(" \t") + 1 - start);
    }
    return std::string();
  }

  void Attach(CURL* curl) {
    m_lines.clear();
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  }

 private:
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
  }

  std::vector<std::string> m_lines;
};

long RetryAfterOf(const FinalHeaders& headers, long httpStatus) {
  if (httpStatus != 503 && httpStatus != 429) return -1;
  const std::string value = headers.Get("Retry-After");
  return value.empty() ? -1 : KWLCBackoff::ParseRetryAfter(value.c_str());
}

// The body of a range transfer written in place: each block goes to its own
// offset in the open destination, and only once the reply's status says the
// body is the asked range, so an error page or a whole-file reply never
// touches the file.
struct InPlaceWriteData {
  CURL* m_curl;
  const FinalHeaders* m_headers;
  const std::string* m_validator;  // empty: not checked
  bool m_checked;                  // the reply's headers were looked at
  bool m_validatorMismatch;
  std::atomic<uint64_t>* m_counter;
  int m_fd;
  uint64_t m_offset;
  uint64_t m_maxBytes;
  uint64_t m_bytesWritten;
  const KWAbortFlag* m_abortFlag;
  bool m_wholeFileAccepted;  // a 200 is the asked bytes when the range is the whole file
  uint64_t m_fileSizeBytes;  // the whole file's, 0 when not known
  int m_errno;
};

// A 206 carries the asked range only when its Content-Range says so; looked
// at before the first byte is written, so that bytes of another range never
// land in the file (a part that is cut off keeps what it wrote).
bool IsAskedContentRange(const std::string& contentRange, uint64_t first, uint64_t length, uint64_t fileSize) {
  uint64_t replyFirst = 0, replyLast = 0, replyTotal = 0;
  if (!ParseContentRange(contentRange, replyFirst, replyLast, replyTotal)) return false;
  if (replyFirst != first || replyLast != first + length - 1) return false;
  return fileSize != 0 ? replyTotal == fileSize : replyTotal != 0;
}

size_t InPlaceWriteCallback(void* data, size_t size, size_t count, void* userData) {
  InPlaceWriteData* record = static_cast<InPlaceWriteData*>(userData);
  if (*record->m_abortFlag) return 0;
  const size_t bytes = size * count;
  const long status = ResponseCode(record->m_curl);
  if (!record->m_checked) {
    record->m_checked = true;
    // A reply naming another ETag is of another version of the file (with
    // If-Range sent, that is the whole new file in answer to a range). A
    // whole file under the same ETag, or none, is a server that ignores
    // Range, refused below.
    if (!record->m_validator->empty() && (status == 200 || status == 206)) {
      const std::string etag = record->m_headers->Get("ETag");
      if (!etag.empty() && etag != *record->m_validator) {
        record->m_validatorMismatch = true;
        return 0;
      }
    }
  }
  if (status != 206 && !(status == 200 && record->m_wholeFileAccepted)) return 0;
  if (status == 206 && record->m_bytesWritten == 0 &&
      !IsAskedContentRange(record->m_headers->Get("Content-Range"), record->m_offset, record->m_maxBytes,
                           record->m_fileSizeBytes)) {
    return 0;
  }
  if (record->m_bytesWritten + bytes > record->m_maxBytes) return 0;
  const char* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < bytes) {
    const ssize_t put = pwrite(record->m_fd, in + done, bytes - done,
                               static_cast<off_t>(record->m_offset + record->m_bytesWritten + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      record->m_errno = errno;
      return 0;
    }
    done += static_cast<size_t>(put);
  }
  record->m_bytesWritten += bytes;
  if (record->m_counter != nullptr) record->m_counter->fetch_add(bytes, std::memory_order_relaxed);
  return bytes;
}

// Network trouble, time-outs and server-side errors pass; a refusal such as
// 403 or 404, a server that ignores ranges, or a TLS certificate we do not
// trust will answer the same way again. Only the log says which: the restart
// budget is spent either way.
bool IsWorthARetry(CURLcode result, long httpStatus) {
  switch (result) {
    case CURLE_OK:
      return httpStatus >= 500 || httpStatus == 408 || httpStatus == 429 || httpStatus == 206;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_WRITE_ERROR:
      return false;
    default:
      return true;
  }
}

// Handles live for the process and keep every option; what one operation
// set for itself must not leak into the next: a size query's HEAD into a
// part, a part's range into a size query, or pointers to records and a
// header list that no longer exist.
void ReleaseHandle(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, static_cast<void*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_RANGE, static_cast<const char*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 0L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 0L);
}

// A part is good only when the reply carries exactly the asked bytes: a 206
// whose Content-Range matches the request, or a 200 for a range that is the
// whole file. An error page or a body that ignored Range is never data.
bool IsExpectedRangeReply(long status, const std::string& contentRange, uint64_t first, uint64_t length,
                          uint64_t expectedFileSize, uint64_t received) {
  if (received != length) return false;
  if (status == 206) return IsAskedContentRange(contentRange, first, length, expectedFileSize);
  if (status == 200) return first == 0 && expectedFileSize != 0 && length == expectedFileSize;
  return false;
}

}  // namespace

void KWLCCurlFileDownloader::Initialize(const KWLCCloudParams& inCloudParams) {
  KWLOG("KWLCCurlFileDownloader::Initialize");
  if (inCloudParams.m_numDownloadThreads > MAX_DOWNLOAD_THREADS) {
    KWLOG("inCloudParams.m_numDownloadThreads > MAX_DOWNLOAD_THREADS");
    ThrowInternal(__LINE__);
  }
  const uint32_t last = inCloudParams.m_numDownloadThreads;
  for (uint32_t i = 0; i <= last; ++i) {
    if (ms_pCurl[i] == nullptr) {
      ms_pCurl[i] = curl_easy_init();
      if (ms_pCurl[i] == nullptr) ThrowInternal(__LINE__);
    }
    if (ms_pCurlMutex[i] == nullptr) ms_pCurlMutex[i] = new KWMutex();
  }
  // Handles of an earlier, larger table are released rather than lost.
  for (uint32_t i = last + 1; i <= MAX_DOWNLOAD_THREADS; ++i) {
    if (ms_pCurl[i] != nullptr) curl_easy_cleanup(static_cast<CURL*>(ms_pCurl[i]));
    delete ms_pCurlMutex[i];
    ms_pCurl[i] = nullptr;
    ms_pCurlMutex[i] = nullptr;
  }
}

bool KWLCCurlFileDownloader::HasHandle(int inThreadIndex) {
  return inThreadIndex >= 0 && inThreadIndex <= MAX_DOWNLOAD_THREADS && ms_pCurl[inThreadIndex] != nullptr &&
         ms_pCurlMutex[inThreadIndex] != nullptr;
}

KWLCCurlFileDownloader::KWLCCurlFileDownloader()
    : m_success(false),
      m_progressCallback(nullptr),
      m_progressCallbackData(nullptr),
      m_expectedFileSizeBytes(0),
      m_targetDescriptor(-1),
      m_httpStatus(0),
      m_retryAfterSeconds(-1),
      m_writeErrno(0),
      m_writtenCounter(nullptr),
      m_validatorMismatch(false),
      m_retryable(true) {}

uint64_t KWLCCurlFileDownloader::GetFileSizeBytesFromURL(const KWString& inURL, const KWLCCloudParams& inCloudParams,
                                                         const std::vector<KWString>& inHeaderList,
                                                         const KWAbortFlag& inAbortFlag) {
  KWLOG("KWLCCurlFileDownloader::GetFileSizeBytesFromURL");
  m_success = false;
  m_httpStatus = 0;
  m_retryAfterSeconds = -1;
  m_effectiveURL = KWString();
  m_validator = KWString();
  const uint32_t index = inCloudParams.m_numDownloadThreads;
  if (index > MAX_DOWNLOAD_THREADS || ms_pCurlMutex[index] == nullptr) ThrowInternal(__LINE__);
  KWLock lock(*ms_pCurlMutex[index]);
  CURL* curl = static_cast<CURL*>(ms_pCurl[index]);
  if (curl == nullptr) ThrowInternal(__LINE__);

  CurlStringWriteCallbackData response(inAbortFlag);
  // A HEAD has no body for the write callback to refuse, so only the progress
  // function can end a stalled size query when the user quits.
  CurlProgressCallbackData progress(inAbortFlag);
  progress.m_isUpload = false;
  curl_slist* headerList = nullptr;
  FinalHeaders replyHeaders;
  replyHeaders.Attach(curl);
  CurlSetConnectTimeoutMS(curl, inCloudParams.m_connectTimeoutMS);
  CurlSetResponseTimeoutMS(curl, inCloudParams.m_responseTimeoutMS);
  CurlAddDebugFunction(curl);
  CurlEnableSSLVerifyIfNeeded(inCloudParams, curl);
  CurlEnableSSLVerifyForURL(inURL, inCloudParams, curl);
  CurlSetProxySettingsForURL(inURL, inCloudParams, curl);
  curl_easy_setopt(curl, CURLOPT_URL, inURL.c_str());
  CurlCreateHeaderList(inHeaderList, headerList, curl);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlStringWriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  if (curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects) != CURLE_OK) {
    CurlHeadersCleanup(headerList);
    ReleaseHandle(curl);
    KWLOG("KWLCCurlFileDownloader::GetFileSizeBytesFromURL, libcurl refused the redirect limit");
    ThrowInternal(__LINE__);
  }
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &progress);
  curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, CurlProgressCallback);

  const CURLcode result = CurlPerformIPv4First(curl, "download");
  CurlHeadersCleanup(headerList);
  ReleaseHandle(curl);
  KWProxy::LogProxyRefusal(curl, "download", inURL);
  m_httpStatus = ResponseCode(curl);
  m_retryAfterSeconds = RetryAfterOf(replyHeaders, m_httpStatus);
  if (result != CURLE_OK) {
    KWLOG("KWLCCurlFileDownloader::GetFileSizeBytesFromURL, failed to get filesize for %s. Curl returned %d.",
          inURL.c_str(), static_cast<int>(result));
    ThrowInternal(__LINE__);
  }
  // Only the final reply (after redirects) says whether the file is there.
  const long status = ResponseCode(curl);
  if (status < 200 || status > 299) {
    KWLOG("KWLCCurlFileDownloader::GetFileSizeBytesFromURL, failed to get filesize for %s. HTTP status %ld.",
          inURL.c_str(), status);
    ThrowInternal(__LINE__);
  }
  m_success = true;
  // The parts go where the redirects led (a signed URL of a CDN, say), and
  // the size is that of the file there, not of a redirect's own body.
  const char* effective = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
  m_effectiveURL = KWString(effective != nullptr ? effective : inURL.c_str());
  // Only a strong ETag vouches that two ranges come from the same bytes: a
  // weak one does not, and two versions may share a Last-Modified second.
  const std::string etag = replyHeaders.Get("ETag");
  if (!etag.empty() && etag.compare(0, 2, "W/") != 0) m_validator = KWString(etag.c_str());
  return KWString(replyHeaders.Get(kContentLengthHTTPHeader.c_str()).c_str()).GetUInt64Value();
}

void KWLCCurlFileDownloader::DownloadFileRangeFromURL(const KWFile& inTargetFile, const uint64_t& inFirstByte,
                                                      const uint64_t& inLengthBytes, const KWString& inURL,
                                                      const KWLCCloudParams& inCloudParams, const int& inThreadIndex,
                                                      const std::vector<KWString>& inHeaderList,
                                                      const KWAbortFlag& inAbortFlag) {
  KWLOG("KWLCCurlFileDownloader::DownloadFileRangeFromURL");
  m_success = false;
  m_httpStatus = 0;
  m_retryAfterSeconds = -1;
  m_writeErrno = 0;
  m_validatorMismatch = false;
  m_retryable = true;
  if (inThreadIndex > static_cast<int64_t>(inCloudParams.m_numDownloadThreads)) {
    KWLOG("inThreadIndex > inCloudParams.m_numDownloadThreads");
    ThrowInternal(__LINE__);
  }
  if (inThreadIndex < 0 || inThreadIndex > MAX_DOWNLOAD_THREADS) {
    KWLOG("KWLCCurlFileDownloader::DownloadFileRangeFromURL, bad thread index %d", inThreadIndex);
    ThrowInternal(__LINE__);
  }

  const bool inPlace = m_targetDescriptor >= 0;
  if (inPlace && inLengthBytes == 0) ThrowInternal(__LINE__);
  if (!inPlace) {
    if (inTargetFile.DoesFileExist()) inTargetFile.Delete();
    const std::string targetPath = inTargetFile.GetPath().GetPathAsKWString().GetUTF8String();
    ostrel::afl::AFile(targetPath).GetParentPath().MakeDirectory();
    FILE* created = fopen(targetPath.c_str(), "wb");
    if (created == nullptr) ThrowInternal(__LINE__);
    struct stat status;
    const bool statOK = fstat(fileno(created), &status) == 0;
    fclose(created);
    if (!statOK) ThrowInternal(__LINE__);
  }

  if (ms_pCurlMutex[inThreadIndex] == nullptr) ThrowInternal(__LINE__);
  KWLock lock(*ms_pCurlMutex[inThreadIndex]);
  if (inAbortFlag) return;
  CURL* curl = static_cast<CURL*>(ms_pCurl[inThreadIndex]);
  if (curl == nullptr) ThrowInternal(__LINE__);

  FinalHeaders replyHeaders;
  CurlFileWriteCallbackData body(inAbortFlag);
  body.m_file = inTargetFile;
  body.m_maxBytes = inLengthBytes;
  const std::string validator = m_expectedValidator.GetUTF8String();
  InPlaceWriteData inPlaceBody = {curl,
                                  &replyHeaders,
                                  &validator,
                                  false,
                                  false,
                                  m_writtenCounter,
                                  m_targetDescriptor,
                                  inFirstByte,
                                  inLengthBytes,
                                  0,
                                  &inAbortFlag,
                                  inFirstByte == 0 && inLengthBytes == m_expectedFileSizeBytes,
                                  m_expectedFileSizeBytes,
                                  0};
  CurlProgressCallbackData progress(inAbortFlag);
  progress.m_progressCallback = m_progressCallback;
  progress.m_progressCallbackData = m_progressCallbackData;
  progress.m_isUpload = false;
  curl_slist* headerList = nullptr;
  replyHeaders.Attach(curl);

  CurlSetConnectTimeoutMS(curl, inCloudParams.m_connectTimeoutMS);
  CurlAddDebugFunction(curl);
  CurlEnableSSLVerifyIfNeeded(inCloudParams, curl);
  CurlEnableSSLVerifyForURL(inURL, inCloudParams, curl);
  CurlSetProxySettingsForURL(inURL, inCloudParams, curl);
  std::vector<KWString> requestHeaders(inHeaderList);
  if (!validator.empty()) requestHeaders.push_back(KWString("If-Range: ") + m_expectedValidator);
  CurlCreateHeaderList(requestHeaders, headerList, curl);
  curl_easy_setopt(curl, CURLOPT_URL, inURL.c_str());
  if (inLengthBytes != 0) {
    KWString range;
    range.AppendUInt64(inFirstByte).Append("-").AppendUInt64(inFirstByte + inLengthBytes - 1);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  }
  if (inPlace) {
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &inPlaceBody);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, InPlaceWriteCallback);
  } else {
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlFileWriteCallback);
  }
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &progress);
  curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, CurlProgressCallback);
  // Larger blocks than libcurl's default 16 KiB: fewer callbacks and writes
  // per part on a fast link.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // Range transfers have no time-out of their own: a large part on a slow
  // link takes long, and the multipart downloader watches every part and
  // the whole download's rate instead.
  const CURLcode result = CurlPerformIPv4First(curl, "download");
  CurlHeadersCleanup(headerList);
  ReleaseHandle(curl);
  KWProxy::LogProxyRefusal(curl, "download", inURL);

  const KWString fileName = KWFileUtil::GetFileName(inTargetFile);
  if (result == CURLE_ABORTED_BY_CALLBACK) {
    KWLOG("KWLCCurlFileDownloader::DownloadFileRangeFromURL, Aborted download of %s to %s", inURL.c_str(),
          fileName.c_str());
    return;
  }
  const long httpStatus = ResponseCode(curl);
  m_httpStatus = httpStatus;
  m_retryAfterSeconds = RetryAfterOf(replyHeaders, httpStatus);
  m_writeErrno = inPlaceBody.m_errno;
  m_validatorMismatch = inPlaceBody.m_validatorMismatch;
  // A body our write callback refused is judged by the reply's status.
  const bool refusedByUs = result == CURLE_WRITE_ERROR && inPlaceBody.m_errno == 0 && !m_validatorMismatch;
  m_retryable = IsWorthARetry(refusedByUs ? CURLE_OK : result, httpStatus);
  if (m_validatorMismatch) {
    KWLOG("KWLCCurlFileDownloader::DownloadFileRangeFromURL, %s answered from another version of the file than %s",
          inURL.c_str(), validator.c_str());
  }
  const uint64_t received = inPlace ? inPlaceBody.m_bytesWritten : body.m_bytesWritten;
  const std::string contentRange = replyHeaders.Get("Content-Range");
  const bool whole = inLengthBytes == 0;
  const bool goodReply = whole ? httpStatus >= 200 && httpStatus <= 299
                               : IsExpectedRangeReply(httpStatus, contentRange, inFirstByte, inLengthBytes,
                                                      m_expectedFileSizeBytes, received);
  if (result != CURLE_OK || !goodReply) {
    if (result != CURLE_OK) {
      KWLOG("KWLCCurlFileDownloader::DownloadFileRangeFromURL, failed to download %s to %s. Curl returned %d.",
            inURL.c_str(), fileName.c_str(), static_cast<int>(result));
    }
    KWLOG(
        "KWLCCurlFileDownloader::DownloadFileRangeFromURL, rejected reply for %s: HTTP %ld, Content-Range \"%s\", "
        "%llu of %llu bytes from byte %llu (%s)",
        inURL.c_str(), httpStatus, contentRange.c_str(), static_cast<unsigned long long>(received),
        static_cast<unsigned long long>(inLengthBytes), static_cast<unsigned long long>(inFirstByte),
        m_retryable ? "a retry may help" : "a retry is unlikely to help");
    ThrowInternal(__LINE__);
  }
  m_success = true;
}
