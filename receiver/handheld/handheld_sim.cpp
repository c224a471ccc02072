// SPDX-License-Identifier: Apache-2.0
#include "receiver/handheld/handheld_sim.h"

#include <memory>

#include "platform/board_codes.h"
#include "platform/byte_order.h"
#include "receiver/line/memory_line.h"
#include "receiver/pty/pty_receiver.h"

namespace {

struct Handheld {
    HandheldSimConfig config;
    std::unique_ptr<Receiver> inProcess;
    std::unique_ptr<MemoryLine> memory;
    std::unique_ptr<PtyReceiver> pty;
    std::vector<HandheldCall> calls;
    std::string portName;
    bool driverLoaded = false;
    bool gpioOpen = false;
    bool pinSet = false;
    uint32_t lines = 0;  // SERIAL_LINE_* asserted
    int controlCalls = 0;
};

Handheld Board;
// Puts the in-process receiver on the line the host's port reads.
HandheldAttach InProcessAttach = nullptr;

// Distinct non-null handles.
char KeyToken, DriverToken, GpioToken;

void Log(const char* name, const std::string& text, bool ok, uint32_t code = 0,
         const void* in = nullptr, uint32_t inSize = 0, uint32_t outSize = 0) {
    HandheldCall call;
    call.name = name;
    call.text = text;
    call.code = code;
    if (in != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(in);
        call.in.assign(bytes, bytes + inSize);
    }
    call.outSize = outSize;
    call.succeeded = ok;
    Board.calls.push_back(std::move(call));
}

long RegOpenKey(const char* subKey, PlatformHandle* keyOut) {
    const bool ok = Board.config.hasPortDriverKey && std::string(subKey) == "Drivers\\PhysicalCOM";
    Log("RegOpenKeyEx", subKey, ok);
    if (!ok) return 2;  // ERROR_FILE_NOT_FOUND
    *keyOut = &KeyToken;
    return 0;
}

long RegCloseKey(PlatformHandle key) {
    Log("RegCloseKey", "", key == &KeyToken);
    return key == &KeyToken ? 0 : 6;  // ERROR_INVALID_HANDLE
}

// Loading the port driver brings the receiver's line up.
bool LoadDriver() {
    if (Board.driverLoaded) return true;
    if (Board.config.line == HandheldLine::Fake) {
        if (InProcessAttach == nullptr) return false;
        InProcessAttach(*Board.inProcess);
        Board.portName = "COM9";
    } else if (Board.config.line == HandheldLine::Memory) {
        Board.portName = "COM9";
    } else {
        std::string error;
        if (!Board.pty->Start(Board.config.receiver, &error)) return false;
        Board.portName = Board.pty->SlavePath();
    }
    Board.driverLoaded = true;
    return true;
}

PlatformHandle ActivateDevice(const char* path, uint32_t /*clientInfo*/) {
    const bool ok = !Board.config.activateDeviceFails && LoadDriver();
    Log("ActivateDevice", path, ok);
    return ok ? &DriverToken : nullptr;
}

PlatformHandle ActivateDeviceEx(const char* path, const void* /*entries*/, uint32_t /*count*/,
                                void* /*parameter*/) {
    const bool ok = !Board.config.activateDeviceExFails && LoadDriver();
    Log("ActivateDeviceEx", path, ok);
    return ok ? &DriverToken : nullptr;
}

int DeactivateDevice(PlatformHandle device) {
    const bool ok = device == &DriverToken && Board.driverLoaded;
    Log("DeactivateDevice", "", ok);
    // The receiver keeps running on its own power; only our driver goes.
    if (ok) Board.driverLoaded = false;
    return ok ? 1 : 0;
}

const char* PortName() {
    return Board.driverLoaded ? Board.portName.c_str() : "COM9";
}

PlatformHandle CreateFile(const char* name, uint32_t, uint32_t, uint32_t, uint32_t) {
    const bool ok = !Board.config.gpioOpenFails && std::string(name) == "GIO1:";
    Log("CreateFile", name, ok);
    if (!ok) return PLATFORM_INVALID_HANDLE;
    Board.gpioOpen = true;
    return &GpioToken;
}

void SetPin(bool set) {
    Board.pinSet = set;
    // On a desk the pin is wired to nothing.
    if (Board.config.deskWiring) return;
    if (Board.inProcess) {
        if (set) {
            Board.inProcess->EnterBootRom();
        } else {
            Board.inProcess->RunFirmware();
        }
    } else if (Board.pty) {
        if (set) {
            Board.pty->EnterBootRom();
        } else {
            Board.pty->RunFirmware();
        }
    }
}

bool Control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
             uint32_t* returned) {
    if (in == nullptr || inSize < 4 || LoadLe32(in, 0) != UPDATE_PIN) return false;
    switch (code) {
        case IOCTL_GIO_SET_BIT:
        case IOCTL_GIO_CLEAR_BIT:
            if (inSize != 4) return false;
            SetPin(code == IOCTL_GIO_SET_BIT);
            return true;
        case IOCTL_GIO_CONFIGURE:
            return inSize == 8 && LoadLe32(in, 4) == 0;
        case IOCTL_GIO_GET_BIT: {
            if (inSize != 4 || out == nullptr || outSize < 4 || returned == nullptr) return false;
            StoreLe32(out, Board.pinSet ? 1U : 0U);
            *returned = 4;
            return true;
        }
        default:
            return false;
    }
}

int DeviceIoControl(PlatformHandle device, uint32_t code, const void* in, uint32_t inSize,
                    void* out, uint32_t outSize, uint32_t* returned) {
    ++Board.controlCalls;
    bool ok = device == &GpioToken && Board.gpioOpen &&
              Board.config.failingControlCalls.count(Board.controlCalls) == 0;
    ok = ok && Control(code, in, inSize, out, outSize, returned);
    Log("DeviceIoControl", "", ok, code, in, inSize, outSize);
    return ok ? 1 : 0;
}

int CloseHandle(PlatformHandle handle) {
    const bool ok = handle == &GpioToken && Board.gpioOpen;
    Log("CloseHandle", "", ok);
    if (ok) Board.gpioOpen = false;
    return ok ? 1 : 0;
}

int PowerStatus(int* acLineStatus) {
    if (!Board.config.powerReadable) return 0;
    *acLineStatus = Board.config.acLineStatus;
    return 1;
}

int LineOpen(const char* deviceName, uint32_t baud) {
    if (!Board.memory || !Board.driverLoaded || Board.portName != deviceName) return 0;
    Board.memory->Open(baud);
    HandheldSimSetLines(SERIAL_LINE_DTR | SERIAL_LINE_RTS, SERIAL_LINE_DTR | SERIAL_LINE_RTS);
    return 1;
}

int LineSetBaud(uint32_t baud) {
    if (!Board.memory || !Board.memory->IsOpen()) return 0;
    Board.memory->SetBaud(baud);
    return 1;
}

int LineRead(uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (!Board.memory || !Board.memory->IsOpen()) return 0;
    *count = Board.memory->Read(buffer, length);
    return 1;
}

int LineWrite(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (!Board.memory || !Board.memory->IsOpen()) return 0;
    Board.memory->Write(buffer, length);
    *count = length;
    return 1;
}

void LineClose() {
    if (!Board.memory) return;
    if (Board.memory->IsOpen()) HandheldSimSetLines(SERIAL_LINE_DTR | SERIAL_LINE_RTS, 0);
    Board.memory->Close();
}

int LineSetLines(uint32_t which, uint32_t asserted) {
    if (!Board.memory || !Board.memory->IsOpen()) return 0;
    return HandheldSimSetLines(which, asserted);
}

uint64_t LineNow() {
    return Board.memory ? Board.memory->NowMs() : 0;
}

void LineSleep(uint32_t milliseconds) {
    if (Board.memory) Board.memory->Sleep(milliseconds);
}

const SerialOps LineTable{LineOpen, LineSetBaud, LineRead, LineWrite, LineClose, LineSetLines};

// The desk around a real port (line Pty).
const SerialOps* DeskInner = nullptr;

int DeskOpen(const char* deviceName, uint32_t baud) {
    const int ok = DeskInner->open(deviceName, baud);
    if (ok != 0)
        HandheldSimSetLines(SERIAL_LINE_DTR | SERIAL_LINE_RTS, SERIAL_LINE_DTR | SERIAL_LINE_RTS);
    return ok;
}
int DeskSetBaud(uint32_t baud) {
    return DeskInner->setBaud(baud);
}
int DeskRead(uint8_t* buffer, uint32_t length, uint32_t* count) {
    return DeskInner->read(buffer, length, count);
}
int DeskWrite(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    return DeskInner->write(buffer, length, count);
}
void DeskClose() {
    HandheldSimSetLines(SERIAL_LINE_DTR | SERIAL_LINE_RTS, 0);
    DeskInner->close();
}

const SerialOps DeskTable{DeskOpen,  DeskSetBaud, DeskRead,
                          DeskWrite, DeskClose,   HandheldSimSetLines};
const ClockOps ClockTable{LineNow, LineSleep};

const BoardOps Table{RegOpenKey, RegCloseKey, ActivateDevice,  ActivateDeviceEx, DeactivateDevice,
                     PortName,   CreateFile,  DeviceIoControl, CloseHandle,      PowerStatus};

}  // namespace

void HandheldSimStart(const HandheldSimConfig& config) {
    HandheldSimStop();
    Board = Handheld{};
    Board.config = config;
    if (config.deskWiring) Board.config.receiver.runningFirmware = true;
    if (config.line == HandheldLine::Fake) {
        Board.inProcess = std::make_unique<Receiver>(Board.config.receiver);
    } else if (config.line == HandheldLine::Memory) {
        Board.inProcess = std::make_unique<Receiver>(Board.config.receiver);
        Board.memory = std::make_unique<MemoryLine>(
            *Board.inProcess, MemoryLineTimeouts{SERIAL_READ_INTERVAL_MS, SERIAL_READ_CONSTANT_MS,
                                                 SERIAL_READ_MULTIPLIER_MS});
    } else {
        Board.pty = std::make_unique<PtyReceiver>();
    }
}

void HandheldSimSetInProcessAttach(HandheldAttach attach) {
    InProcessAttach = attach;
}

void HandheldSimNewRun() {
    Board.calls.clear();
    Board.driverLoaded = false;
    Board.gpioOpen = false;
    Board.controlCalls = 0;
}

void HandheldSimStop() {
    if (Board.pty) Board.pty->Stop();
}

const BoardOps& HandheldSimOps() {
    return Table;
}
const SerialOps& HandheldSimSerialOps() {
    return LineTable;
}
const ClockOps& HandheldSimClockOps() {
    return ClockTable;
}
const std::vector<HandheldCall>& HandheldSimCalls() {
    return Board.calls;
}

std::vector<uint8_t> HandheldSimFlash() {
    if (Board.inProcess) return Board.inProcess->Flash();
    if (Board.pty) return Board.pty->Flash();
    return {};
}

Receiver* HandheldSimReceiver() {
    return Board.inProcess.get();
}
bool HandheldSimPinSet() {
    return Board.pinSet;
}
int HandheldSimSetLines(uint32_t which, uint32_t asserted) {
    const uint32_t lines = (Board.lines & ~which) | (asserted & which);
    Board.lines = lines;
    if (!Board.config.deskWiring) return 1;  // nothing listens to them
    const bool bootSelect = (lines & SERIAL_LINE_DTR) != 0;
    const bool reset = (lines & SERIAL_LINE_RTS) != 0;
    // Lines changed together: boot-select is already valid when reset lets go.
    if (Board.inProcess) {
        if (Board.memory) Board.memory->CatchUp();
        Board.inProcess->SetBootSelectInput(bootSelect);
        Board.inProcess->SetResetInput(reset);
        if (Board.memory && reset) Board.memory->DropUnsent();
    } else if (Board.pty) {
        Board.pty->SetInputs(reset, bootSelect);
    }
    return 1;
}

uint32_t HandheldSimLines() {
    return Board.lines;
}

bool HandheldSimRunningFirmware() {
    if (Board.inProcess) return Board.inProcess->Stage() == ReceiverStage::Firmware;
    if (Board.pty) return Board.pty->Stage() == ReceiverStage::Firmware;
    return false;
}

const SerialOps& HandheldSimDeskSerialOps(const SerialOps& inner) {
    DeskInner = &inner;
    return DeskTable;
}

bool HandheldSimDriverLoaded() {
    return Board.driverLoaded;
}
