// Where nothing naps the process or puts the machine to sleep under a
// running download that the installer could prevent.
#include "LCKeepAwake.h"

namespace {
class NoKeepAwake : public LCKeepAwake {
 public:
  void Begin() override {}
  void End() override {}
};
}  // namespace

LCKeepAwake& LCPlatformKeepAwake() {
  static NoKeepAwake keepAwake;
  return keepAwake;
}
