// What the process sets up about itself before any library starts.
#pragma once

// Called first in main, before any thread starts.
void LCPrepareProcess();
