#pragma once

// Shared helpers of the test executables, one header per job: throw-away
// files and the built programs, a real nginx and a fault-injecting HTTP
// server on 127.0.0.1, and a view into the dialog's state.

#include "faultserver.h"
#include "nginxserver.h"
#include "testfiles.h"
#include "widgetprobe.h"
