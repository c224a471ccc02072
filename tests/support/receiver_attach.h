// SPDX-License-Identifier: Apache-2.0
// Puts a simulated receiver at the far end of the host's in-memory line
// (platform/fake): every host write reaches it at the virtual time of the
// write, with the host's rate, and its bytes reach the host after the delays
// it asks for. Test glue: the simulator itself knows nothing of that line.
#pragma once

#include "receiver/receiver.h"

// The receiver must outlive the attachment (FakeLineReset or another attach
// ends it).
void AttachReceiverToFakeLine(Receiver& r);
