// SPDX-License-Identifier: Apache-2.0
#include "platform/fake/fake_resource.h"

#include <cctype>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Data;
int FailStage = 0;
int FindCalls = 0;
PlatformHandle LastInstance = nullptr;
int LastId = 0;
std::string LastType;

// Distinct non-null handles for the resource and its loaded form.
char ResourceTag;
char LoadedTag;

PlatformHandle Find(PlatformHandle instance, int id, const char* typeName) {
    ++FindCalls;
    LastInstance = instance;
    LastId = id;
    LastType = typeName != nullptr ? typeName : "";
    if (FailStage == 1) return nullptr;
    const bool typeMatches =
        LastType.size() == 1 && std::toupper(static_cast<unsigned char>(LastType[0])) == 'S';
    return id == 137 && typeMatches ? &ResourceTag : nullptr;
}

uint32_t Size(PlatformHandle /*module*/, PlatformHandle resource) {
    if (FailStage == 2 || resource != &ResourceTag) return 0;
    return static_cast<uint32_t>(Data.size());
}

PlatformHandle Load(PlatformHandle /*module*/, PlatformHandle resource) {
    if (FailStage == 3 || resource != &ResourceTag) return nullptr;
    return &LoadedTag;
}

const void* Lock(PlatformHandle loaded) {
    if (FailStage == 4 || loaded != &LoadedTag) return nullptr;
    return Data.data();
}

const ResourceOps Table{Find, Size, Load, Lock};

}  // namespace

const ResourceOps& FakeResourceOps() {
    return Table;
}
void FakeResourceFailStage(int stage) {
    FailStage = stage;
}

void FakeResourceSetData(const void* data, uint32_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    Data.assign(bytes, bytes + (bytes != nullptr ? length : 0));
}

int FakeResourceFindCalls() {
    return FindCalls;
}
PlatformHandle FakeResourceLastInstance() {
    return LastInstance;
}
int FakeResourceLastId() {
    return LastId;
}
const char* FakeResourceLastType() {
    return LastType.c_str();
}

void FakeResourceReset() {
    Data.clear();
    Data.shrink_to_fit();
    FailStage = 0;
    FindCalls = 0;
    LastInstance = nullptr;
    LastId = 0;
    LastType.clear();
}
