// The main display's bounds in screen coordinates with the origin at the top
// left; all zero when there is no main display.
#pragma once

#include "KWGeometry.h"

KWIntRect MLCGetMainDisplayRect();

// Pixels per point of the main screen: 2 on a high-density screen, else 1.
int MLCGetBackingScale();
