#include "LCProcessSetup.h"

void LCPrepareProcess() {}
