// KWAbortFlag: the cancellation flag handed by reference to the service and to
// every transfer. One thread sets it, others poll it, so it is atomic; it only
// ever turns from false to true.
#pragma once

#include <atomic>

typedef std::atomic<bool> KWAbortFlag;
