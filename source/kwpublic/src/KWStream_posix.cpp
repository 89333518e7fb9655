#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "KWFastCopy.h"
#include "KWStream.h"

namespace {

// Unbuffered: every call goes to the file descriptor, so the kernel's copy
// and plain reads and writes can be mixed on one stream.
class KWFileStream : public IKWStream {
 public:
  explicit KWFileStream(int fd) : m_fd(fd) {}
  ~KWFileStream() override {
    if (m_fd >= 0) close(m_fd);
  }

  uint64_t Read(void* buffer, uint64_t count) override {
    uint64_t done = 0;
    char* out = static_cast<char*>(buffer);
    while (done < count) {
      const ssize_t got = read(m_fd, out + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1 << 30)));
      if (got < 0) {
        if (errno == EINTR) continue;
        m_state = kKWStreamStateFailed;
        break;
      }
      if (got == 0) {
        if (m_state == kKWStreamStateGood) m_state = kKWStreamStateEnd;
        break;
      }
      done += static_cast<uint64_t>(got);
    }
    return done;
  }

  uint64_t Write(const void* buffer, uint64_t count) override {
    uint64_t done = 0;
    const char* in = static_cast<const char*>(buffer);
    while (done < count) {
      const ssize_t put = write(m_fd, in + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1 << 30)));
      if (put < 0) {
        if (errno == EINTR) continue;
        m_state = kKWStreamStateFailed;
        break;
      }
      done += static_cast<uint64_t>(put);
    }
    return done;
  }

  bool ReadText(KWString& text, const KWString& pattern) override {
    const uint64_t bound = std::max<uint64_t>(4096, pattern.size() * 8);
    std::vector<char> buffer(static_cast<size_t>(bound));
    const uint64_t got = Read(buffer.data(), bound);
    if (m_state == kKWStreamStateFailed) return false;
    text = KWString(buffer.data(), static_cast<size_t>(got));
    return true;
  }

  bool WriteText(const KWString& text, int /*encoding*/) override {
    return Write(text.c_str(), text.size()) == text.size();
  }

  int GetState() const override { return m_state; }
  int GetNativeHandle() const override { return m_fd; }

 private:
  int m_fd;
  int m_state = kKWStreamStateGood;
};

IKWStream* OpenStream(const KWFile& file, int flags) {
  if (file.GetPath().IsEmpty()) return nullptr;
  int fd;
  do {
    fd = open(file.GetPath().c_str(), flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? nullptr : new KWFileStream(fd);
}

}  // namespace

IKWStream* KWStreamUtil::CreateFileStreamRead(const KWFile& file, int /*mode*/, uint32_t, uint32_t) {
  return OpenStream(file, O_RDONLY);
}

IKWStream* KWStreamUtil::CreateFileStreamWrite(const KWFile& file, int /*mode*/, uint32_t, uint32_t) {
  return OpenStream(file, O_WRONLY | O_CREAT | O_TRUNC);
}

uint64_t KWStreamUtil::StreamCopy(IKWStream& source, IKWStream& destination) {
  uint64_t copied = 0;
  const int in = source.GetNativeHandle();
  const int out = destination.GetNativeHandle();
  if (in >= 0 && out >= 0) {
    // The kernel may refuse (another file system, an old kernel): then the
    // plain loop below copies whatever is left.
    const int64_t fast = KWFastCopy(in, out);
    if (fast > 0) copied = static_cast<uint64_t>(fast);
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const uint64_t got = source.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    const uint64_t put = destination.Write(buffer.data(), got);
    copied += put;
    if (put != got) break;
  }
  return copied;
}
