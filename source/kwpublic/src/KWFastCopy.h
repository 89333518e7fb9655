// The kernel's file-to-file copy, from each descriptor's current offset.
#pragma once

#include <cstdint>

// Copies until the source ends and returns the bytes copied (the offsets of
// both descriptors advance), or -1 when the kernel cannot copy between these
// descriptors at all. A partial copy returns what was done; the caller copies
// the rest by hand.
int64_t KWFastCopy(int sourceFD, int destinationFD);
