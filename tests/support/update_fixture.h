// SPDX-License-Identifier: Apache-2.0
// A whole update in process: the worker against the simulated handheld on the
// in-memory line, with the virtual clock, the firmware text from the payloads
// and a private temporary directory.
#pragma once

#include "update/update.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "receiver/handheld/handheld_sim.h"

struct ShownMessage {
    std::string text;
    std::string caption;
    bool tempFileExisted;  // the temporary image file, when the box came up
    bool pinSet = false;   // the board, when the box came up
    bool driverLoaded = false;
};

class UpdateRun : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Every host module back to its power-on state, as in a new process; the
    // progress observer is installed again.
    void ResetHostModules();
    // Starts a new handheld with this configuration (the default one when
    // Start is not called before Run).
    void Start(const HandheldSimConfig& config);
    // Runs the worker to its end and returns its exit code.
    uint32_t Run();
    // What Run asks the worker for; a zero request is the plain update.
    UpdateRequest request{};

    // The binary image the payload's S-records describe.
    static const std::vector<uint8_t>& Image();
    bool TempFileExists() const;
    // Board calls of one name.
    int CallCount(const std::string& name) const;
    // True when some message of the run was "Download Finish".
    bool Finished() const;

  public:
    // Filled from the worker's calls.
    std::vector<ShownMessage> messages;
    std::vector<int> progress;
    std::string tempDir;
    std::string tempPath;
    bool started = false;
    // Called as each box comes up, after it was recorded.
    std::function<void(const ShownMessage&)> onMessage;
    // Called with every progress value the worker sets, repeats included.
    std::function<void(int32_t)> onProgress;
};
