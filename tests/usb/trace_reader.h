// Moved to tests/support/trace_reader.h; kept while tests that include this name land.
#pragma once

#include "tests/support/trace_reader.h"
