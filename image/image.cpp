// SPDX-License-Identifier: Apache-2.0
// Resource to file, file to binary image, and the block reader over it.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "platform/platform.h"

namespace {

// The image LoadImageFile handed out; kept to the end of the run.
uint8_t* LoadedImage = nullptr;

uint32_t ReadPosition = 0;
uint32_t ReadLength = 0;
bool ReaderOpen = false;

// The temporary file ExtractImageResource made, open from its creation to its
// removal, and the name it was made under.
PlatformHandle TempFile = PLATFORM_INVALID_HANDLE;
const char* TempName = nullptr;

bool Failed(PlatformHandle handle) {
    return handle == nullptr || handle == PLATFORM_INVALID_HANDLE;
}

}  // namespace

int ExtractImageResource() {
    const ResourceOps& resources = PlatformResource();
    const PlatformHandle resource =
        resources.find(PlatformAppInstance(), IMAGE_RESOURCE_ID, IMAGE_RESOURCE_TYPE);
    if (Failed(resource)) return IMAGE_RESOURCE_NOT_FOUND;
    const uint32_t size = resources.size(nullptr, resource);
    if (size == 0) return IMAGE_RESOURCE_EMPTY;
    const PlatformHandle loaded = resources.load(nullptr, resource);
    if (Failed(loaded)) return IMAGE_RESOURCE_NOT_LOADED;
    const void* bytes = resources.lock(loaded);
    if (bytes == nullptr) return IMAGE_RESOURCE_NOT_LOCKED;

    // The file stays open from here to its removal: it is read back and
    // deleted through this handle, never found again by its name. A missing
    // directory, a failed create or a short write is left for LoadImageFile
    // to find out.
    ImageCloseTemporaryFile();
    const FileOps& files = PlatformFiles();
    const PlatformHandle file = files.create();
    if (Failed(file)) return 0;
    TempFile = file;
    TempName = files.tempImagePath();
    files.write(file, bytes, size);
    return 0;
}

namespace {

// Reads the whole of the temporary file through its handle; nullptr when it
// cannot be read whole.
char* ReadTemporaryFile(uint32_t* lengthOut) {
    const FileOps& files = PlatformFiles();
    uint32_t length = 0;
    if (files.rewind(TempFile, &length) == 0 || length == 0) return nullptr;
    char* text = static_cast<char*>(std::malloc(length));
    if (text == nullptr) return nullptr;
    uint32_t got = 0;
    while (got < length) {
        uint32_t n = 0;
        if (files.read(TempFile, text + got, length - got, &n) == 0 || n == 0) {
            std::free(text);
            return nullptr;
        }
        got += n;
    }
    *lengthOut = length;
    return text;
}

// Reads the whole file at path; nullptr when it cannot be opened or read
// whole (*opened tells which).
char* ReadNamedFile(const char* path, uint32_t* lengthOut, bool* opened) {
    std::FILE* file = std::fopen(path, "rb");
    *opened = file != nullptr;
    if (file == nullptr) return nullptr;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size <= 0 || static_cast<unsigned long>(size) > 0xFFFFFFFFul ||
        std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    const auto length = static_cast<uint32_t>(size);
    char* text = static_cast<char*>(std::malloc(length));
    if (text == nullptr) {
        std::fclose(file);
        return nullptr;
    }
    const size_t got = std::fread(text, 1, length, file);
    std::fclose(file);
    if (got != length) {
        std::free(text);
        return nullptr;
    }
    *lengthOut = length;
    return text;
}

}  // namespace

uint8_t* LoadImageFile(const char* path, uint32_t* countOut) {
    uint32_t ignored = 0;
    uint32_t& count = countOut != nullptr ? *countOut : ignored;
    if (path == nullptr) return nullptr;
    uint32_t textLength = 0;
    char* text = nullptr;
    // The file this module wrote is read through the handle it was written
    // by; the name only says which file is meant.
    if (TempFile != PLATFORM_INVALID_HANDLE && TempName != nullptr &&
        std::strcmp(path, TempName) == 0) {
        count = 0;
        text = ReadTemporaryFile(&textLength);
    } else {
        bool opened = false;
        text = ReadNamedFile(path, &textLength, &opened);
        if (!opened) return nullptr;
        count = 0;
    }
    if (text == nullptr) return nullptr;

    // Every image byte takes two characters of text.
    auto* image = static_cast<uint8_t*>(std::malloc(textLength / 2 + 1));
    if (image != nullptr) count = ParseSRecords(text, textLength, image);
    std::free(text);
    if (count == 0) {
        std::free(image);
        return nullptr;
    }
    std::free(LoadedImage);
    LoadedImage = image;
    return image;
}

int BinaryImageOpen(const char* /*name*/, uint32_t* lengthOut, uint32_t count) {
    if (lengthOut != nullptr) *lengthOut = count;
    ReadLength = count;
    ReadPosition = 0;
    ReaderOpen = true;
    return 0;
}

int BinaryImageReadNextBlock(uint8_t* dest, uint32_t size, const uint8_t* image) {
    if (!ReaderOpen || size > ReadLength - ReadPosition) return IMAGE_READ_PAST_END;
    if (size == 0) return 0;
    if (dest == nullptr || image == nullptr) return IMAGE_READ_PAST_END;
    std::memcpy(dest, image + ReadPosition, size);
    ReadPosition += size;
    return 0;
}

int BinaryImageClose() {
    ReaderOpen = false;
    return 0;
}

int ImageRemoveTemporaryFile() {
    if (TempFile == PLATFORM_INVALID_HANDLE) return 0;
    const int removed = PlatformFiles().remove(TempFile);
    ImageCloseTemporaryFile();
    return removed;
}

void ImageCloseTemporaryFile() {
    if (TempFile == PLATFORM_INVALID_HANDLE) return;
    PlatformFiles().close(TempFile);
    TempFile = PLATFORM_INVALID_HANDLE;
    TempName = nullptr;
}

uint32_t ImageReadPosition() {
    return ReadPosition;
}

void ImageReset() {
    ImageCloseTemporaryFile();
    std::free(LoadedImage);
    LoadedImage = nullptr;
    ReadPosition = 0;
    ReadLength = 0;
    ReaderOpen = false;
}
