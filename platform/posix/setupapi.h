// The device tree: SetupAPI and configuration-manager functions, served by the simulated PC.
#pragma once

#include "platform/posix/types.h"
