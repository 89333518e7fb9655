// ceiling URL: what the network and libcurl alone allow. Fetches URL in
// 10 MiB ranges over 16 connections (the installer's parts and handles), the
// next range going to whichever connection is free, and discards the bytes:
// no disk, no join. bench/download measures our downloader against it.
// Exits 0 when every byte arrived.
#include <curl/curl.h>
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const int kConnections = 16;
const uint64_t kPartBytes = 10485760;

struct Connection {
  CURL* curl = nullptr;
  uint64_t received = 0;
  uint64_t expected = 0;
  std::string range;
};

size_t Discard(char*, size_t size, size_t count, void* data) {
  static_cast<Connection*>(data)->received += size * count;
  return size * count;
}

uint64_t SizeOf(const char* url) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_off_t length = -1;
  if (curl_easy_perform(curl) != CURLE_OK ||
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0) {
    length = 0;
  }
  curl_easy_cleanup(curl);
  return static_cast<uint64_t>(length);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ceiling URL\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  const uint64_t size = SizeOf(argv[1]);
  if (size == 0) {
    fprintf(stderr, "ceiling: no size for %s\n", argv[1]);
    return 1;
  }
  CURLM* multi = curl_multi_init();
  std::vector<Connection> connections(kConnections);
  uint64_t nextByte = 0, total = 0;
  int running = 0;
  bool failed = false;
  const auto startNext = [&](Connection& connection) {
    if (nextByte >= size) return;
    const uint64_t last = std::min(size, nextByte + kPartBytes) - 1;
    connection.range = std::to_string(nextByte) + "-" + std::to_string(last);
    connection.expected = last - nextByte + 1;
    connection.received = 0;
    nextByte = last + 1;
    curl_easy_setopt(connection.curl, CURLOPT_RANGE, connection.range.c_str());
    curl_multi_add_handle(multi, connection.curl);
  };
  for (Connection& connection : connections) {
    connection.curl = curl_easy_init();
    curl_easy_setopt(connection.curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(connection.curl, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(connection.curl, CURLOPT_WRITEDATA, &connection);
    curl_easy_setopt(connection.curl, CURLOPT_PRIVATE, &connection);
    curl_easy_setopt(connection.curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    startNext(connection);
  }
  do {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Connection* connection = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &connection);
      long status = 0;
      curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
      curl_multi_remove_handle(multi, message->easy_handle);
      if (message->data.result != CURLE_OK || status != 206 || connection->received != connection->expected) {
        fprintf(stderr, "ceiling: range %s failed (curl %d, HTTP %ld)\n", connection->range.c_str(),
                static_cast<int>(message->data.result), status);
        failed = true;
        continue;
      }
      total += connection->received;
      startNext(*connection);
    }
    if (running == 0 && nextByte >= size) break;
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  } while (!failed);
  for (Connection& connection : connections) {
    curl_multi_remove_handle(multi, connection.curl);
    curl_easy_cleanup(connection.curl);
  }
  curl_multi_cleanup(multi);
  curl_global_cleanup();
  return !failed && total == size ? 0 : 1;
}
