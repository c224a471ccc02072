// The fixture now lives in tests/support; this name stays only until the
// last test that includes it by its old place is moved over.
#pragma once

#include "tests/support/update_fixture.h"
