// SPDX-License-Identifier: Apache-2.0
// The program's own resources, straight from the PE resource section.
#include <windows.h>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

// Type names are looked up without regard to case, so "s" finds the "S" the
// resource script declares.
PlatformHandle Find(PlatformHandle instance, int id, const char* typeName) {
    const std::wstring type = Utf8ToWide(typeName);
    return FindResourceW(static_cast<HMODULE>(instance), MAKEINTRESOURCEW(id), type.c_str());
}

// A null module designates the program's own.
HMODULE Module(PlatformHandle module) {
    return module != nullptr ? static_cast<HMODULE>(module) : GetModuleHandleW(nullptr);
}

uint32_t Size(PlatformHandle module, PlatformHandle resource) {
    if (resource == nullptr) return 0;
    return SizeofResource(Module(module), static_cast<HRSRC>(resource));
}

PlatformHandle Load(PlatformHandle module, PlatformHandle resource) {
    if (resource == nullptr) return nullptr;
    return LoadResource(Module(module), static_cast<HRSRC>(resource));
}

const void* Lock(PlatformHandle loaded) {
    if (loaded == nullptr) return nullptr;
    return LockResource(static_cast<HGLOBAL>(loaded));
}

const ResourceOps Table{Find, Size, Load, Lock};

}  // namespace

const ResourceOps& Win32ResourceOps() {
    return Table;
}
