#include "tests/support/program_harness.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "image/image.h"
#include "payloads/payloads.h"

CommandResult RunCommand(const std::string& command) {
    CommandResult result{-1, {}};
    FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> FirmwareImage() {
    std::vector<uint8_t> image(FirmwareSRecordTextLength);
    image.resize(ParseSRecords(reinterpret_cast<const char*>(FirmwareSRecordText),
                               FirmwareSRecordTextLength, image.data()));
    return image;
}

bool StartsWithImage(const std::vector<uint8_t>& flash) {
    const std::vector<uint8_t> image = FirmwareImage();
    return image.size() == 482008 && flash.size() >= image.size() &&
           std::equal(image.begin(), image.end(), flash.begin());
}
