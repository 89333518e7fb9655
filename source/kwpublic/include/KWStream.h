// Byte streams over files.
//
//   KWAutoPtr<IKWStream> in(KWStreamUtil::CreateFileStreamRead(file, 1));
//   if (in.get() && in->GetState() != IKWStream::kKWStreamStateFailed) ...
#pragma once

#include <cstdint>

#include "KWFile.h"

class IKWStream {
 public:
  enum { kKWStreamStateGood = 0, kKWStreamStateEnd = 1, kKWStreamStateFailed = 2 };
  enum { kKWTextEncodingUTF8 = 0 };

  virtual ~IKWStream() {}
  // Returns the number of bytes transferred; fewer than asked means end of
  // stream (read) or failure (both), which GetState then reports.
  virtual uint64_t Read(void* buffer, uint64_t count) = 0;
  virtual uint64_t Write(const void* buffer, uint64_t count) = 0;
  // Reads the rest of the stream as UTF-8 text. The pattern describes the
  // expected shape (for instance "Useryyyymmddhhmmssrnnn"); reading stops after
  // a generous bound of eight times its length, at least 4 KiB, so a huge file
  // is never loaded.
  virtual bool ReadText(KWString& text, const KWString& pattern) = 0;
  virtual bool WriteText(const KWString& text, int encoding = kKWTextEncodingUTF8) = 0;
  virtual int GetState() const = 0;
  // A file descriptor for the kernel's copy, or -1.
  virtual int GetNativeHandle() const = 0;
};

class KWStreamUtil {
 public:
  // Mode 1 reads. Returns null when the file cannot be opened. Type and creator
  // codes are macOS file metadata and are accepted for compatibility.
  static IKWStream* CreateFileStreamRead(const KWFile& file, int mode, uint32_t type = 0x3F3F3F3F,
                                         uint32_t creator = 0x3F3F3F3F);
  // Mode 2 writes from the start, replacing any content. Null on failure.
  static IKWStream* CreateFileStreamWrite(const KWFile& file, int mode, uint32_t type = 0x3F3F3F3F,
                                          uint32_t creator = 0x3F3F3F3F);
  // Copies the rest of the source to the destination and returns the bytes
  // written. Uses the kernel's file-to-file copy where it can.
  static uint64_t StreamCopy(IKWStream& source, IKWStream& destination);
};
