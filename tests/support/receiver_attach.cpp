// SPDX-License-Identifier: Apache-2.0
#include "tests/support/receiver_attach.h"

#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"

void AttachReceiverToFakeLine(Receiver& r) {
    r.SetOutput([](const uint8_t* data, size_t count, uint64_t delayMs) {
        FakeLineSend(data, count, delayMs);
    });
    Receiver* receiver = &r;
    FakeLineSetPeer([receiver](const uint8_t* data, size_t count) {
        receiver->Input(data, count, FakeClockNow(), FakeLineHostBaud());
    });
}

void ReceiverOnFakeLineTest::Start(const ReceiverConfig& config) {
    receiver.reset();
    ResetCoreModules();
    receiver = std::make_unique<Receiver>(config);
    ASSERT_TRUE(receiver->Ok()) << receiver->Error();
    receiver->EnterBootRom();
    AttachReceiverToFakeLine(*receiver);
}

void ReceiverOnFakeLineTest::TearDown() {
    FakeLineSetPeer(nullptr);
    receiver.reset();
}
