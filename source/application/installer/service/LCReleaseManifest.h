// LCReleaseManifest: the fields of a release that decide what runs on the
// user's machine, and the one byte string a release signature covers.
//
// The canonical form, version 2 (all ASCII lines, each ended by "\n", in this
// order, nothing before, between or after):
//
//   clipvane-release-v2
//   sha256=<the image's SHA-256: 64 hex digits, lower case>
//   size=<the image's size in bytes: decimal, no sign, no leading zero, > 0>
//   build=<the build number exactly as the reply gives it>
//   launch_path=<the application to launch: absolute, exactly as given>
//   expires=<the UTC second from which the release is refused: decimal, > 0>
//
// Version 1 had no expiry line. It is not accepted: a release that never
// expires could be served for ever after a newer one was published.
//
// The build number and the launch path may hold any byte but the control
// bytes (0x00 to 0x1f, 0x7f), so no value can end its line early or forge
// another. tools/publish-release makes the same bytes; change both together
// and give the form a new version line.
//
//   LCReleaseManifest manifest{sha256, size, build, launchPath};
//   std::string bytes, why;
//   if (!manifest.Canonical(bytes, why)) ...  // why names the bad field
#pragma once

#include <cstdint>
#include <string>

class LCReleaseManifest {
 public:
  std::string m_sha256;
  uint64_t m_sizeBytes = 0;
  std::string m_buildNumber;
  std::string m_launchPath;
  // Seconds since 1970 (UTC); 0 when the reply carried none.
  uint64_t m_expiresUTCSeconds = 0;

  // The signed bytes; false (with why set) when a field cannot be written in
  // the form above.
  bool Canonical(std::string& bytes, std::string& why) const;

  // Build numbers are dot-separated decimal numbers ("11.0.0.1234"), compared
  // part by part as numbers of any length, a missing part counting as 0
  // ("11.0" == "11.0.0", "11.10" > "11.9"). False when either is not of
  // that form; otherwise order is <0, 0 or >0 as a is below, equal to or
  // above b.
  static bool CompareBuildNumbers(const std::string& a, const std::string& b, int& order);
};
