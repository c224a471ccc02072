// SPDX-License-Identifier: Apache-2.0
// In-memory resource section for tests: one resource of type "S", id 137,
// holding whatever bytes the test gives it. Each of the four look-up stages
// (find, size, load, lock) can be made to fail.
#pragma once

#include <cstdint>

#include "platform/platform.h"

const ResourceOps& FakeResourceOps();
// 0: no stage fails; 1..4: find, size (gives 0), load or lock fails.
void FakeResourceFailStage(int stage);
// The resource's bytes (copied). Empty until set; an empty resource has size 0.
void FakeResourceSetData(const void* data, uint32_t length);
// Number of find calls, and the instance, id and type name of the last one.
int FakeResourceFindCalls();
PlatformHandle FakeResourceLastInstance();
int FakeResourceLastId();
const char* FakeResourceLastType();
// Power-on state: no data, no failing stage, no calls.
void FakeResourceReset();
