#include "HdiIsoVolume.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const size_t kSectorSize = 2048;
const unsigned kFirstDescriptorSector = 16;
// Real images carry a handful of descriptors; the cap keeps a file that never
// terminates its list from being read to its end.
const unsigned kMaxDescriptors = 64;
const size_t kVolumeIdOffset = 40;
const size_t kVolumeIdLength = 32;
const size_t kEscapeOffset = 88;
const size_t kJolietChars = kVolumeIdLength / 2;

void AppendUtf8(std::string& out, unsigned long codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::string TrimTrailingBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool IsJolietEscape(const unsigned char* escape) {
  return escape[0] == '%' && escape[1] == '/' && (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

bool ReadSector(int fd, unsigned sector, unsigned char* buffer) {
  size_t done = 0;
  while (done < kSectorSize) {
    const ssize_t n = pread(fd, buffer + done, kSectorSize - done, static_cast<off_t>(sector) * kSectorSize + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HdiIsoVolume::DecodeJolietText(const unsigned char* data, size_t length) {
  std::string text;
  for (size_t i = 0; i + 1 < length; i += 2) {
    unsigned long unit = (static_cast<unsigned long>(data[i]) << 8) | data[i + 1];
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < length) {
      const unsigned long low = (static_cast<unsigned long>(data[i + 2]) << 8) | data[i + 3];
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    AppendUtf8(text, unit);
  }
  return TrimTrailingBlanks(text);
}

std::string HdiIsoVolume::DecodePrimaryText(const unsigned char* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length && data[i] != 0; ++i) {
    // Only ASCII is defined here; anything else would be an invalid UTF-8 name.
    text += data[i] < 0x80 ? static_cast<char>(data[i]) : '_';
  }
  return TrimTrailingBlanks(text);
}

std::string HdiIsoVolume::ChooseName(const std::string& primary, const std::string& joliet, bool hasJoliet) {
  if (!hasJoliet || joliet.empty()) return primary;
  // The Joliet text was trimmed, so count what the cut-off field could hold:
  // a full field is 16 characters, possibly ending in the blank that got trimmed.
  const bool fieldWasFull = joliet.size() >= kJolietChars - 1 && joliet.size() <= kJolietChars;
  if (fieldWasFull && primary.size() > joliet.size() && primary.compare(0, joliet.size(), joliet) == 0) {
    return primary;
  }
  return joliet;
}

std::string HdiIsoVolume::SanitizeName(const std::string& name) {
  std::string safe;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    // C1 controls arrive as the UTF-8 pair C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xA0) {
      safe += '_';
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      safe += '_';
    } else if (c == '/') {
      safe += ':';
    } else {
      safe += static_cast<char>(c);
    }
  }
  if (safe.empty() || safe == "." || safe == "..") return "Untitled";
  return safe;
}

bool HdiIsoVolume::ReadVolumeName(const std::string& imagePath, std::string& name, std::string& error) {
  const int fd = open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  std::string primary, joliet;
  bool hasPrimary = false, hasJoliet = false;
  unsigned char sector[kSectorSize];
  for (unsigned i = 0; i < kMaxDescriptors; ++i) {
    if (!ReadSector(fd, kFirstDescriptorSector + i, sector) || std::memcmp(sector + 1, "CD001", 5) != 0) break;
    const unsigned char type = sector[0];
    if (type == 255) break;
    if (type == 1 && !hasPrimary) {
      hasPrimary = true;
      primary = DecodePrimaryText(sector + kVolumeIdOffset, kVolumeIdLength);
    } else if (type == 2 && !hasJoliet && IsJolietEscape(sector + kEscapeOffset)) {
      hasJoliet = true;
      joliet = DecodeJolietText(sector + kVolumeIdOffset, kVolumeIdLength);
    }
  }
  close(fd);
  if (!hasPrimary) {
    error = "image not recognized";
    return false;
  }
  name = SanitizeName(ChooseName(primary, joliet, hasJoliet));
  return true;
}
