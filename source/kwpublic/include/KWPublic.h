// The whole platform library.
#pragma once

#include "KWApplicationLaunchUtil.h"
#include "KWException.h"
#include "KWFile.h"
#include "KWFileUtil.h"
#include "KWGeometry.h"
#include "KWInternet.h"
#include "KWLogger.h"
#include "KWPath.h"
#include "KWStream.h"
#include "KWString.h"
#include "KWSystemUtils.h"
#include "KWThread.h"
#include "KWTimer.h"
