// Starts the installed product once the setup program has put it in place.
//
//   if (LCLaunchInstalledProduct(launchPath, {"--campaignID", "cnet"}) != 0) ...  // not started
#pragma once

#include <vector>

#include "KWString.h"

// Starts program with arguments and returns 0 when it started. On macOS an
// application inside a bundle is opened through LaunchServices, so that it
// runs on its own rather than as the installer's child (and the system asks
// for camera, microphone and screen access in its name, not the installer's);
// elsewhere the program is started directly.
int LCLaunchInstalledProduct(const KWString& program, const std::vector<KWString>& arguments);

// The "NAME.app" folder that program is, or whose Contents/MacOS folder holds
// it; empty when it is in no bundle.
KWString LCApplicationBundleOf(const KWString& program);

// The arguments of /usr/bin/open that start a new instance of bundle with the
// product's arguments.
std::vector<KWString> LCLaunchServicesArguments(const KWString& bundle, const std::vector<KWString>& arguments);
