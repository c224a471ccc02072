// SPDX-License-Identifier: Apache-2.0
// Resources for platforms without a resource section: the firmware S-record
// text linked in from the payloads, found as type "S" (any case), id 137, just
// as the Win32 build finds it in its resource script.
#pragma once

#include "platform/platform.h"

const ResourceOps& EmbeddedResourceOps();
