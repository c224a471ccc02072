// SPDX-License-Identifier: Apache-2.0
#include "platform/embedded/embedded_resource.h"

#include "payloads/payloads.h"

namespace {

// One entry of the program's resource section.
struct Resource {
    char type;  // upper case; names are compared without regard to case
    int id;
    const uint8_t* data;
    const uint32_t* length;
};

const Resource Resources[] = {
    {'S', 137, FirmwareSRecordText, &FirmwareSRecordTextLength},
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The instance is the program's own module; there is no other to search.
PlatformHandle Find(PlatformHandle /*instance*/, int id, const char* typeName) {
    if (typeName == nullptr || typeName[0] == '\0' || typeName[1] != '\0') return nullptr;
    for (const Resource& r : Resources) {
        if (r.id == id && r.type == Upper(typeName[0])) {
            return const_cast<Resource*>(&r);
        }
    }
    return nullptr;
}

uint32_t Size(PlatformHandle /*module*/, PlatformHandle resource) {
    return resource != nullptr ? *static_cast<const Resource*>(resource)->length : 0;
}

// Linked-in data needs no loading: the loaded handle is the resource itself.
PlatformHandle Load(PlatformHandle /*module*/, PlatformHandle resource) {
    return resource;
}

const void* Lock(PlatformHandle loaded) {
    return loaded != nullptr ? static_cast<const Resource*>(loaded)->data : nullptr;
}

const ResourceOps Table{Find, Size, Load, Lock};

}  // namespace

const ResourceOps& EmbeddedResourceOps() {
    return Table;
}
