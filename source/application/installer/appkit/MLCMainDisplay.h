// The main display's bounds in screen coordinates with the origin at the top
// left; all zero when there is no main display.
#pragma once

#include "KWGeometry.h"

KWIntRect MLCGetMainDisplayRect();
