#include "KWApplicationLaunchUtil.h"
#include "LCProcessSetup.h"

void LCPrepareProcess() { KWApplicationLaunchUtil::KeepStartEnvironment(); }
