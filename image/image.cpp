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

    // The path lies in a directory that only this user can enter (the file
    // back end creates it 0700 and refuses a link or a foreign owner), so no
    // one else can plant a link at the name or read the file, and plain fopen
    // is safe here without open(2) flags the core cannot reach. "wb" replaces
    // an old file whole. A missing directory, a failed open or a short write
    // is left for LoadImageFile to find out.
    const char* path = PlatformFiles().tempImagePath();
    if (path == nullptr) return 0;
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return 0;
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
    return 0;
}

uint8_t* LoadImageFile(const char* path, uint32_t* countOut) {
    uint32_t ignored = 0;
    uint32_t& count = countOut != nullptr ? *countOut : ignored;
    if (path == nullptr) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    count = 0;

    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size <= 0 || static_cast<unsigned long>(size) > 0xFFFFFFFFul ||
        std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    const auto textLength = static_cast<uint32_t>(size);
    char* text = static_cast<char*>(std::malloc(textLength));
    if (text == nullptr) {
        std::fclose(file);
        return nullptr;
    }
    const size_t got = std::fread(text, 1, textLength, file);
    std::fclose(file);
    if (got != textLength) {
        std::free(text);
        return nullptr;
    }

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

uint32_t ImageReadPosition() {
    return ReadPosition;
}

void ImageReset() {
    std::free(LoadedImage);
    LoadedImage = nullptr;
    ReadPosition = 0;
    ReadLength = 0;
    ReaderOpen = false;
}
