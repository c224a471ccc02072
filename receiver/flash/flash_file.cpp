// The flash as a file: the contents it starts with, and the dump written
// for the host's tests to compare.
#include <fstream>
#include <iterator>

#include "receiver/state.h"

bool ReceiverState::LoadFlashFile() {
    std::ifstream file(config.flashFile, std::ios::binary);
    if (!file) {
        configError = "cannot read the flash file " + config.flashFile;
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::vector<uint8_t>& cells = flash.Cells();
    if (bytes.size() > cells.size()) {
        configError = "the flash file " + config.flashFile + " is larger than the flash (" +
                      std::to_string(cells.size()) + " bytes)";
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), cells.begin());
    return true;
}

bool ReceiverState::WriteFile(const std::string& path, std::string* error) const {
    const std::vector<uint8_t>& cells = flash.Cells();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(cells.data()),
               static_cast<std::streamsize>(cells.size()));
    file.close();
    if (!file) {
        if (error) *error = "cannot write the flash to " + path;
        return false;
    }
    return true;
}
