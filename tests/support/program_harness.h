// SPDX-License-Identifier: Apache-2.0
// Running the programs as a user would, for the tests that drive them whole.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A test with a folder of its own, which the programs it starts use for
// their lock file and their runtime directory, so that tests never meet.
class ProgramDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path dir_;
};

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

// A program run in the background, its standard output and error read as they
// come (on a thread of their own, so that a chatty program never blocks on a
// full pipe). With terminal, both are a pseudo-terminal, and so is its input,
// as when a user runs it; otherwise its input is /dev/null.
class Child {
  public:
    Child(const std::vector<std::string>& argv, bool terminal);
    ~Child();  // kills it if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    // Waits until the output holds text; false after milliseconds.
    bool WaitFor(const std::string& text, int milliseconds);
    void Signal(int signal) const;
    // Its exit status; -1 when it was killed by a signal or did not end in
    // time (it is killed then).
    int Wait(int milliseconds);
    std::string Output() const;

  private:
    struct Shared;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    Shared* shared_;
};
