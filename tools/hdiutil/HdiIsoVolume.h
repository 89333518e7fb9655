// The volume name of an ISO 9660 image, read from its volume descriptors
// (sector 16 onwards), as a name that is safe to use as one folder name.
//
//   std::string name, error;
//   if (!HdiIsoVolume::ReadVolumeName("/tmp/clv.iso", name, error)) fail(error);
#pragma once

#include <cstddef>
#include <string>

class HdiIsoVolume {
 public:
  // False with a reason when the file cannot be read or holds no ISO 9660
  // volume. An unnamed volume is called "Untitled", as on macOS.
  static bool ReadVolumeName(const std::string& imagePath, std::string& name, std::string& error);

  // Joliet stores UCS-2 big-endian; pairs of surrogates are joined, lone ones
  // become U+FFFD. Decoding stops at the first U+0000; trailing blanks go.
  static std::string DecodeJolietText(const unsigned char* data, size_t length);
  // The primary descriptor holds single bytes, padded with blanks.
  static std::string DecodePrimaryText(const unsigned char* data, size_t length);

  // Joliet's name wins (it keeps case and any character), except where Joliet's
  // 16-character field cut a longer primary name short: then the primary one,
  // which is the same name in full.
  static std::string ChooseName(const std::string& primary, const std::string& joliet, bool hasJoliet);

  // One folder name: "/" becomes ":" as macOS shows it, control characters
  // become "_", and "", "." and ".." become "Untitled".
  static std::string SanitizeName(const std::string& name);
};
