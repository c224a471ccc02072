// SPDX-License-Identifier: Apache-2.0
// Puts a simulated receiver at the far end of the host's in-memory line
// (platform/fake): every host write reaches it at the virtual time of the
// write, with the host's rate, and its bytes reach the host after the delays
// it asks for. Test glue: the simulator itself knows nothing of that line.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "receiver/receiver.h"

// The receiver must outlive the attachment (FakeLineReset or another attach
// ends it).
void AttachReceiverToFakeLine(Receiver& r);

// A test with a simulated receiver in its boot ROM on the fake line, the
// host's modules as a new process has them.
class ReceiverOnFakeLineTest : public ::testing::Test {
  protected:
    void Start(const ReceiverConfig& config);
    void TearDown() override;

    std::unique_ptr<Receiver> receiver;
};
