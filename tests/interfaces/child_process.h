#pragma once
// The fault tests still include this name; the helper itself is shared.
#include "tests/support/ChildProcess.h"
