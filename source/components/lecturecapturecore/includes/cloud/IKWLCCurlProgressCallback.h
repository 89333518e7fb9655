// IKWLCCurlProgressCallback: receives the progress of a download as a whole
// percent (0 to 100). Called on the transfer's own thread, and from several
// part threads at once, so implementations must be thread-safe. Returning
// false stops the reporting transfer.
#pragma once

class IKWLCCurlProgressCallback {
 public:
  virtual bool OnProgress(const void* data, const int& percent) const = 0;

 protected:
  // Receivers are never owned or deleted through this interface.
  ~IKWLCCurlProgressCallback() = default;
};
