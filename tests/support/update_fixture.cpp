// SPDX-License-Identifier: Apache-2.0
#include "tests/support/update_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "image/image.h"
#include "payloads/payloads.h"
#include "platform/fake/fake_files.h"
#include "platform/fake/fake_resource.h"
#include "tests/support/core_reset.h"
#include "tests/support/receiver_attach.h"
#include "update/board.h"
#include "update/update.h"

namespace {

UpdateRun* Current = nullptr;

void RecordMessage(const char* text, const char* caption);
const UiOps RecordingUi{RecordMessage};

void RecordMessage(const char* text, const char* caption) {
    Current->messages.push_back(ShownMessage{text, caption,
                                             std::filesystem::exists(Current->tempPath),
                                             HandheldSimPinSet(), HandheldSimDriverLoaded()});
    if (Current->onMessage) Current->onMessage(Current->messages.back());
}

void RecordProgress(int32_t value) {
    if (Current->onProgress) Current->onProgress(value);
    if (Current->progress.empty() || Current->progress.back() != value) {
        Current->progress.push_back(value);
    }
}

}  // namespace

void UpdateRun::SetUp() {
    Current = this;
    ResetCoreModules();
    UpdateSetProgressObserver(RecordProgress);
    FakeResourceSetData(FirmwareSRecordText, FirmwareSRecordTextLength);
    char pattern[] = "/tmp/zelvar-update-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tempDir = pattern;
    tempPath = tempDir + "/Tervalon.s";
    FakeFilesSetPath(tempPath.c_str());
    HandheldSimSetInProcessAttach(AttachReceiverToFakeLine);
    PlatformInstall(PlatformOps{nullptr, nullptr, &HandheldSimOps(), &FakeResourceOps(),
                                &FakeFileOps(), &RecordingUi});
}

void UpdateRun::ResetHostModules() {
    ResetCoreModules(ResetScope::CoreOnly);
    UpdateSetProgressObserver(RecordProgress);
}

void UpdateRun::TearDown() {
    HandheldSimStop();
    std::filesystem::remove_all(tempDir);
    Current = nullptr;
}

void UpdateRun::Start(const HandheldSimConfig& config) {
    HandheldSimConfig fake = config;
    fake.line = HandheldLine::Fake;
    HandheldSimStart(fake);
    started = true;
}

uint32_t UpdateRun::Run() {
    if (!started) Start(HandheldSimConfig{});
    return UpdateWorker(&request);
}

const std::vector<uint8_t>& UpdateRun::Image() {
    static const std::vector<uint8_t> image = [] {
        std::vector<uint8_t> out(FirmwareSRecordTextLength);
        const uint32_t count = ParseSRecords(reinterpret_cast<const char*>(FirmwareSRecordText),
                                             FirmwareSRecordTextLength, out.data());
        out.resize(count);
        return out;
    }();
    return image;
}

bool UpdateRun::TempFileExists() const {
    return std::filesystem::exists(tempPath);
}

int UpdateRun::CallCount(const std::string& name) const {
    int count = 0;
    for (const HandheldCall& call : HandheldSimCalls()) count += call.name == name ? 1 : 0;
    return count;
}

bool UpdateRun::Finished() const {
    for (const ShownMessage& m : messages) {
        if (m.text == "Download Finish") return true;
    }
    return false;
}
