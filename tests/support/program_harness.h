// Running the programs as a user would, for the tests that drive them whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct CommandResult {
    int status;          // exit status, -1 when the command did not exit normally
    std::string output;  // standard output and error together
};

// Runs a shell command with no terminal on either side.
CommandResult RunCommand(const std::string& command);
std::vector<uint8_t> ReadAll(const std::filesystem::path& path);
// The binary image of the payload's firmware text.
std::vector<uint8_t> FirmwareImage();
// True when flash begins with the whole firmware image.
bool StartsWithImage(const std::vector<uint8_t>& flash);
