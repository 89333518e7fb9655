#include <errno.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "KWFastCopy.h"

int64_t KWFastCopy(int sourceFD, int destinationFD) {
  const size_t chunk = size_t(1) << 30;
  int64_t copied = 0;
  bool useCopyFileRange = true;
  for (;;) {
    ssize_t done;
    if (useCopyFileRange) {
      done = copy_file_range(sourceFD, nullptr, destinationFD, nullptr, chunk, 0);
      if (done < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP) && copied == 0) {
        useCopyFileRange = false;
        continue;
      }
    } else {
      done = sendfile(destinationFD, sourceFD, nullptr, chunk);
    }
    if (done < 0) {
      if (errno == EINTR) continue;
      return copied > 0 ? copied : -1;
    }
    if (done == 0) return copied;
    copied += done;
  }
}
