// What the libcurl loaded at run time can do. The app must start on the
// oldest libcurl it supports (CLIPVANE_LIBCURL_FLOOR, set once in CMake): on
// a Mac that is the system's own library, often older than the headers it
// was built with. Anything newer than the floor is used only behind Has(),
// with a fallback that works on the floor; a newer function is not called at
// all (a missing function stops the app from loading).
//
//   if (!KWCurlFloor::LimitProtocols(curl, KWCurlFloor::kRedirectsHTTPSOnly, "download")) return false;
//   if (KWCurlFloor::Has(0x075400)) { ... CURLINFO_CAINFO ... } else { ... }
#pragma once

#ifndef CLIPVANE_LIBCURL_FLOOR
#error "CLIPVANE_LIBCURL_FLOOR must come from the build (0xXXYYZZ)"
#endif

namespace KWCurlFloor {

// The running libcurl's version as 0xXXYYZZ (7.54.0 is 0x073600).
unsigned RunningVersion();

// True when the running libcurl is at least `versionNum` (0xXXYYZZ).
bool Has(unsigned versionNum);

enum Redirects { kRedirectsHTTPOrHTTPS, kRedirectsHTTPSOnly };

// Limits the handle to http and https, and where its redirects may go. Every
// option is checked: false, logged with `layer` first, when one did not take,
// and the caller must then not start the transfer (it would be unlimited).
bool LimitProtocols(void* curl, Redirects redirects, const char* layer);

}  // namespace KWCurlFloor
