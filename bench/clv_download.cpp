// clv_download URL FILE [SHA256]: downloads URL into FILE with the multipart
// downloader and its default parameters (10 MiB parts, 16 handles), as the
// installer does, checking the digest when one is given. For bench/download;
// exits 0 on success.
#include <curl/curl.h>
#include <stdio.h>

#include "KWException.h"
#include "KWLCCloudStructs.h"
#include "KWLCCurlFileDownloader.h"
#include "KWLCCurlMultipartFileDownloader.h"

namespace {
class PrintingHandler : public IKWCustomExceptionHandler {
 public:
  void OnCustomException(const KWLCException& exception) override {
    fprintf(stderr, "clv_download: %s\n", exception.what());
  }
  void OnCustomException() override { fprintf(stderr, "clv_download: unknown exception\n"); }
};
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: clv_download URL FILE [SHA256]\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  KWLCCloudParams params;
  params.m_useHTTPS = false;  // as the installer's download record
  KWAbortFlag abortFlag(false);
  PrintingHandler handler;
  KWLCCurlFileDownloader::Initialize(params);
  KWLCCurlMultipartFileDownloader::Initialize();
  KWLCCurlMultipartFileDownloader downloader(params, handler, abortFlag, KWFile(argv[2]), KWString(argv[1]));
  if (argc == 4) downloader.SetExpectedSHA256(KWString(argv[3]));
  const bool done = downloader.DownloadFile();
  if (!done) fprintf(stderr, "clv_download: download failed\n");
  return done ? 0 : 1;
}
