// Compiled into zx_platform on every build, so that the layout checks run for each target.
#include "platform/layout_checks.h"
