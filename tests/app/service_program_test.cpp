// SPDX-License-Identifier: Apache-2.0
// The servicing options end to end: zelvar against the simulated receiver on
// a pseudo-terminal, the flash checked through the receiver's dump.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/srecord_file.h"
#include "tests/support/program_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t FLASH_512K = 0x80000;

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<uint8_t> RandomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// The flash as the receiver starts with `file` in it: the rest erased.
std::vector<uint8_t> FlashHolding(const std::vector<uint8_t>& file, uint32_t size = FLASH_512K) {
    std::vector<uint8_t> flash(size, 0xFF);
    std::copy(file.begin(), file.end(), flash.begin());
    return flash;
}

// zelvar-receiver on its own process; serves until stopped (flash kept
// between sessions), dumping its flash at every disconnect and at exit.
class ReceiverProcess {
  public:
    ReceiverProcess(const fs::path& dir, const std::vector<std::string>& options)
        : link_(dir / "ttyGPS"), dump_(dir / "flash.bin") {
        std::vector<std::string> args = {RECEIVER_BIN, "--link", link_.string(), "--flash-dump",
                                         dump_.string()};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execv(RECEIVER_BIN, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && !fs::exists(link_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ReceiverProcess() { Stop(); }
    ReceiverProcess(const ReceiverProcess&) = delete;
    ReceiverProcess& operator=(const ReceiverProcess&) = delete;

    bool Ready() const { return pid_ > 0 && fs::exists(link_); }
    std::string Command(const std::string& options) const {
        return std::string(ZELVAR_BIN) + " --port " + link_.string() + " " + options;
    }
    CommandResult Zelvar(const std::string& options) const { return RunCommand(Command(options)); }
    // Ends the receiver; its flash as it left it.
    std::vector<uint8_t> Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int raw = 0;
            waitpid(pid_, &raw, 0);
            pid_ = -1;
        }
        return ReadAll(dump_);
    }

  private:
    fs::path link_;
    fs::path dump_;
    pid_t pid_ = -1;
};

class ServiceProgramTest : public ProgramDirTest {
  protected:
    // An S-record file of the bytes as srec_cat writes it (LF, S0, S5 ...).
    fs::path SrecCatFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path bin = dir_ / (name + ".bin");
        const fs::path srec = dir_ / name;
        WriteBytes(bin, bytes);
        const CommandResult r =
            RunCommand("srec_cat " + bin.string() + " -binary -o " + srec.string() + " -motorola");
        EXPECT_EQ(r.status, 0) << r.output;
        return srec;
    }
};

TEST_F(ServiceProgramTest, SimulatedHandheldAndOptionConflicts) {
    struct Case {
        const char* args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"--simulate --info", 0, "Flash part: AM29LV400BB, maker AMD"},
        {"--simulate --sim-bus 32 --info", 0, "1048576 bytes on a 32-bit bus"},
        {"--simulate --verify", 3, "Differs"},  // the simulated flash holds an older firmware
        {"--info --verify", 2, "excludes"},
        {"--info --firmware x.s", 2, "excludes"},
        {"--force", 2, "--backup"},
        {"--simulate --firmware /nonexistent.s", 2, "/nonexistent.s: cannot be opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = RunCommand(std::string(ZELVAR_BIN) + " " + c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

TEST_F(ServiceProgramTest, InfoNamesThePartAndItsSectorRunsOnBothBuses) {
    struct Case {
        std::vector<std::string> receiver;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {{"--part", "AM29LV400BB", "--bus-width", "16"},
         {"Flash part: AM29LV400BB, maker AMD", "524288 bytes on a 16-bit bus",
          "Sector runs: 1 x 0x4000, 2 x 0x2000, 1 x 0x8000, 7 x 0x10000", "Agent version: 2.0"}},
        // Two parts side by side: sizes double, sector counts do not.
        {{"--part", "28F160B3T", "--bus-width", "32"},
         {"Flash part: 28F160B3T, maker INTEL", "4194304 bytes on a 32-bit bus",
          "Sector runs: 31 x 0x20000, 8 x 0x4000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.receiver[1]);
        std::vector<std::string> options = c.receiver;
        options.insert(options.end(), {"--flash-fill", "0"});
        ReceiverProcess receiver(dir_, options);
        ASSERT_TRUE(receiver.Ready());
        const CommandResult r = receiver.Zelvar("--info");
        EXPECT_EQ(r.status, 0) << r.output;
        for (const std::string& text : c.says) {
            EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
        }
        const std::vector<uint8_t> flash = receiver.Stop();
        EXPECT_EQ(flash, std::vector<uint8_t>(flash.size(), 0x00));  // nothing written
        EXPECT_FALSE(flash.empty());
    }
}

TEST_F(ServiceProgramTest, VerifyTellsEqualFromDifferentFromUnreachable) {
    std::vector<uint8_t> image = FirmwareImage();
    std::vector<uint8_t> changed = image;
    changed[12345] ^= 0x01;
    WriteBytes(dir_ / "image.bin", image);
    WriteBytes(dir_ / "changed.bin", changed);
    struct Case {
        std::vector<std::string> receiver;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--flash-file", (dir_ / "image.bin").string()}, 0, "Verified: the CRCs agree"},
        {{"--flash-file", (dir_ / "changed.bin").string()}, 3, "Differs"},
        {{"--no-flash"}, 2, "[Fail] EPOpen Fail!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        ReceiverProcess receiver(dir_, c.receiver);
        ASSERT_TRUE(receiver.Ready());
        const CommandResult r = receiver.Zelvar("--verify");
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        if (c.status != 2) {
            EXPECT_NE(r.output.find("Image CRC-16:    0xB73C over 482008 bytes"), std::string::npos)
                << r.output;
        }
        EXPECT_EQ(r.output.find("a check, not a proof") != std::string::npos, c.status == 0)
            << r.output;
    }
}

TEST_F(ServiceProgramTest, RefusedFilesLeaveTheFlashUntouched) {
    // Line 3 of srec_cat's output with its checksum changed.
    const fs::path good = SrecCatFile("good.s", RandomBytes(4096, 2));
    std::string srec = ReadText(good);
    size_t line3 = srec.find('\n', srec.find('\n') + 1) + 1;
    size_t end3 = srec.find('\n', line3);
    srec[end3 - 1] = srec[end3 - 1] == '0' ? '1' : '0';
    WriteText(dir_ / "badsum.s", srec);
    const fs::path tooLong = SrecCatFile("toolong.s", RandomBytes(FLASH_512K + 1, 3));

    struct Case {
        std::string file;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {(dir_ / "badsum.s").string(), {"badsum.s line 3: bad checksum"}},
        {(dir_ / "missing.s").string(), {"missing.s: cannot be opened"}},
        {tooLong.string(),
         {"[Fail] The image (524289 bytes) is longer than the flash (524288 bytes)!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ReceiverProcess receiver(dir_, {"--flash-fill", "0"});
        ASSERT_TRUE(receiver.Ready());
        const CommandResult r = receiver.Zelvar("--firmware " + c.file);
        // Refused before anything is sent, or once the flash was known:
        // either way the flash is unchanged.
        EXPECT_EQ(r.status, 2) << r.output;
        for (const std::string& text : c.says) {
            EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
        }
        EXPECT_EQ(r.output.find("Download Finish"), std::string::npos);
        const std::vector<uint8_t> flash = receiver.Stop();
        EXPECT_EQ(flash, std::vector<uint8_t>(FLASH_512K, 0x00));
    }
}

// Back up, flash a file srec_cat wrote, restore from the back-up.
TEST_F(ServiceProgramTest, BackupRestoresTheFlashByteForByte) {
    const std::vector<uint8_t> original = FlashHolding(FirmwareImage());
    WriteBytes(dir_ / "original.bin", original);
    const std::vector<uint8_t> other = RandomBytes(70000, 4);
    const fs::path otherFile = SrecCatFile("other.s", other);
    const fs::path backup = dir_ / "backup.s";
    ReceiverProcess receiver(dir_, {"--flash-file", (dir_ / "original.bin").string()});
    ASSERT_TRUE(receiver.Ready());

    const CommandResult flashed =
        receiver.Zelvar("--firmware " + otherFile.string() + " --backup " + backup.string());
    EXPECT_EQ(flashed.status, 0) << flashed.output;
    EXPECT_NE(flashed.output.find("Backup: 524288 bytes of 524288"), std::string::npos)
        << flashed.output;
    // The other firmware is in place, and verifies.
    const std::vector<uint8_t> written = ReadAll(dir_ / "flash.bin");
    ASSERT_EQ(written.size(), FLASH_512K);
    EXPECT_TRUE(std::equal(other.begin(), other.end(), written.begin()));
    EXPECT_EQ(receiver.Zelvar("--verify --firmware " + otherFile.string()).status, 0);
    const CommandResult again = receiver.Zelvar("--backup " + backup.string());
    EXPECT_EQ(again.status, 2) << again.output;  // an existing file is kept
    EXPECT_NE(again.output.find("--force"), std::string::npos) << again.output;

    // srec_cat reads the back-up to the whole flash, erased tail included.
    const CommandResult cat = RunCommand("srec_cat " + backup.string() + " -o " +
                                         (dir_ / "backup.bin").string() + " -binary");
    EXPECT_EQ(cat.status, 0) << cat.output;
    EXPECT_EQ(ReadAll(dir_ / "backup.bin"), original);

    const CommandResult restored = receiver.Zelvar("--firmware " + backup.string());
    EXPECT_EQ(restored.status, 0) << restored.output;
    // A read-back against the back-up covers the whole flash.
    const CommandResult compared =
        receiver.Zelvar("--verify --read-back --firmware " + backup.string());
    EXPECT_EQ(compared.status, 0) << compared.output;
    EXPECT_NE(compared.output.find("all 524288 bytes"), std::string::npos) << compared.output;
    EXPECT_EQ(receiver.Stop(), original);
}

// An EPRead answer damaged on the line: the back-up fails, nothing is erased
// and no file is left behind.
TEST_F(ServiceProgramTest, BackupWithADamagedReadStopsBeforeTheErase) {
    // Frame 23 is the first EPRead: 22 frames boot the receiver and open its flash.
    ReceiverProcess receiver(dir_, {"--flash-fill", "0", "--corrupt-answer", "23"});
    ASSERT_TRUE(receiver.Ready());
    const CommandResult r = receiver.Zelvar("--backup " + (dir_ / "backup.s").string());
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("[Fail] EPRead Fail!"), std::string::npos) << r.output;
    EXPECT_EQ(receiver.Stop(), std::vector<uint8_t>(FLASH_512K, 0x00));
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().find("backup.s"), std::string::npos)
            << entry.path();
    }
}

TEST_F(ServiceProgramTest, JsonIsOneObjectForSuccessAndFailure) {
    struct Case {
        std::vector<std::string> receiver;
        const char* options;
        const char* expected;  // what the Python script prints
    };
    const Case cases[] = {
        {{"--flash-fill", "0"},
         "--json",
         "updated 0 None AM29LV400BB 524288 16 482008 46908 46908 482008"},
        {{"--no-flash"}, "--json", "failed 2 EPOpen None None None 482008 46908 None 0"},
        {{"--flash-fill", "0"},
         "--json --firmware /nonexistent.s",
         "not started 2 FirmwareFile None None None None None None None"},
        {{"--part", "SST39VF1601", "--bus-width", "32"},
         "--info --json",
         "identified 0 None SST39VF1601 4194304 32 None None None 0"},
    };
    const std::string script =
        "import json,sys; d=json.load(open(sys.argv[1])); "
        "print(d['outcome'], d['exit_status'], d['failed_step'], d['part'], d['flash_size'], "
        "d['bus_width'], d['image_length'], d['image_crc'], d['receiver_crc'], "
        "d['bytes_written']); "
        "assert set(d['seconds']) == {'boot','erase','write','verify'}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        ReceiverProcess receiver(dir_, c.receiver);
        ASSERT_TRUE(receiver.Ready());
        const fs::path out = dir_ / "out.json";
        // Standard output alone: the JSON object and nothing else.
        RunCommand("{ " + receiver.Command(c.options) + " >" + out.string() + " 2>/dev/null; }");
        const CommandResult r = RunCommand("python3 -c \"" + script + "\" " + out.string());
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, std::string(c.expected) + "\n");
    }
}

}  // namespace

namespace {

TEST_F(ServiceProgramTest, TraceNamesNaksTimeOutsAndDamagedAnswers) {
    // Frames 21 EPOpen, 22 SetProgramBufferSize, 23 CheckBlank of a fresh receiver.
    struct Case {
        std::vector<std::string> receiver;
        std::string line;
    };
    const Case cases[] = {
        {{"--nak-frame", "21"}, " bd  6 EPOpen chip-select 0 base 0x00000000 -> NAK\n"},
        {{"--drop-answer", "23"},
         "115200 bd  24 CheckBlank address 0x00000000 length 482008 -> ACK, time-out: no answer\n"},
        {{"--corrupt-answer", "23"},
         // The damaged byte may be any of the answer's.
         "24 CheckBlank address 0x00000000 length 482008 -> ACK, answer 25 status .*, "
         "bad checksum \\(NAK sent\\)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> options = c.receiver;
        options.insert(options.end(), {"--flash-fill", "0"});
        ReceiverProcess receiver(dir_, options);
        ASSERT_TRUE(receiver.Ready());
        const fs::path trace = dir_ / ("trace-" + std::to_string(&c - cases) + ".txt");
        const CommandResult r = receiver.Zelvar("--trace " + trace.string());
        // Each fault comes before the first erase: the flash is unchanged.
        EXPECT_EQ(r.status, 2) << r.output;
        const std::string text = ReadText(trace);
        EXPECT_TRUE(std::regex_search(text, std::regex(c.line))) << text;
        EXPECT_NE(text.find(" 38400 bd  42 QueryChipId -> ACK, answer 43 chip id 48\n"),
                  std::string::npos)
            << text;
    }
}

// Every run whose options parse prints exactly one JSON document with
// --json, refusals and several ports included.
TEST_F(ServiceProgramTest, JsonIsAlwaysOneDocument) {
    const std::string zelvar = ZELVAR_BIN;
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string options;
        const char* outcome;  // of the document, or of the first port's
        int status;
    };
    const Case cases[] = {
        {"--json", "not started", 2},
        {"--simulate --sim-battery --json", "not started", 2},
        {"--simulate --json --baud 0", "not started", 2},
        {"--simulate --json --firmware " + fifo, "not started", 2},
        {"--json --port '" + (dir_ / "q\"a").string() + "'", "failed", 2},
        {"--json --port '" + (dir_ / "q\"a").string() + "' --port " + (dir_ / "b").string(),
         "failed", 2},
        {"--simulate --json --sim-blank", "updated", 0},
    };
    const std::string script =
        "import json,sys; d=json.load(open(sys.argv[1])); d=d[0] if isinstance(d,list) else d; "
        "print(d['outcome'])";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const fs::path out = dir_ / "out.json";
        const CommandResult run = RunCommand("{ " + zelvar + " --no-wait " + c.options + " >" +
                                             out.string() + " 2>/dev/null; }; echo $?");
        EXPECT_EQ(run.output, std::to_string(c.status) + "\n");
        const CommandResult r = RunCommand("python3 -c \"" + script + "\" " + out.string());
        EXPECT_EQ(r.status, 0) << ReadText(out);
        EXPECT_EQ(r.output, std::string(c.outcome) + "\n") << ReadText(out);
    }
}

// Bad input never costs a back-up: refused before anything is sent, with
// nothing erased and no file left behind.
TEST_F(ServiceProgramTest, BadFilesAreRefusedBeforeAnythingIsSent) {
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/null", (dir_ / "link.s").c_str()), 0);
    struct Case {
        std::string options;
        const char* says;
    };
    const Case cases[] = {
        {"--backup /nonexistent/x.s", "/nonexistent/x.s: its folder /nonexistent: No such file"},
        {"--backup /dev/null --force", "not a regular file"},
        {"--backup " + (dir_ / "link.s").string() + " --force", "symbolic link"},
        {"--read " + fifo + " --force", "not a regular file"},
        {"--trace " + fifo, "not a regular file"},
        {"--firmware " + fifo, "FIFO"},
        {"--backup ''", "empty value"},
        {"--port /dev/A --port /dev/B --backup same.s --force", "{port}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        ReceiverProcess receiver(dir_, {"--flash-fill", "0x3C"});
        ASSERT_TRUE(receiver.Ready());
        const CommandResult r = receiver.Zelvar(c.options + " --no-wait");
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("progress"), std::string::npos) << r.output;
        const std::vector<uint8_t> flash = receiver.Stop();
        EXPECT_EQ(flash, std::vector<uint8_t>(flash.size(), 0x3C));
    }
    EXPECT_FALSE(fs::exists("same.s"));
}

// The read changes nothing, writes S-records or raw bytes by the name, and
// each of several ports gets its own file.
TEST_F(ServiceProgramTest, ReadLeavesTheFlashAsItWas) {
    for (const char* name : {"flash.s", "flash.bin"}) {
        SCOPED_TRACE(name);
        ReceiverProcess receiver(dir_, {"--flash-fill", "0x5A"});
        ASSERT_TRUE(receiver.Ready());
        const fs::path file = dir_ / name;
        const CommandResult r = receiver.Zelvar("--read " + file.string() + " --force");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("Read: "), std::string::npos) << r.output;
        const std::vector<uint8_t> flash = receiver.Stop();
        EXPECT_EQ(flash, std::vector<uint8_t>(FLASH_512K, 0x5A));
        if (std::string(name) == "flash.bin") {
            EXPECT_EQ(ReadAll(file), flash);
        } else {
            const std::string text = ReadText(file);
            std::vector<uint8_t> image(text.size() / 2 + 1);
            const uint32_t length =
                ParseSRecordFile(text.data(), static_cast<uint32_t>(text.size()), image.data(),
                                 static_cast<uint32_t>(image.size()), nullptr);
            image.resize(length);
            EXPECT_EQ(image, flash);
        }
    }
}

// Closed standard descriptors: nothing the program prints may reach the
// receiver's line.
TEST_F(ServiceProgramTest, ClosedStandardDescriptorsStayOffTheLine) {
    ReceiverProcess receiver(dir_, {"--flash-fill", "0"});
    ASSERT_TRUE(receiver.Ready());
    const CommandResult r =
        RunCommand("{ " + receiver.Command("--no-wait") + " >&- 2>&-; }; echo status $?");
    EXPECT_NE(r.output.find("status 0"), std::string::npos) << r.output;
    const std::vector<uint8_t> flash = receiver.Stop();
    const std::vector<uint8_t> image = FirmwareImage();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

// A trace that cannot be written is told apart; the receiver's outcome
// stays what it was.
TEST_F(ServiceProgramTest, ALostTraceIsToldApartFromTheOutcome) {
    const CommandResult r =
        RunCommand(std::string(ZELVAR_BIN) + " --simulate --sim-blank --no-wait --trace /dev/full");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[Done] Download Finish"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("could not be written: No space left on device"), std::string::npos)
        << r.output;
}

}  // namespace
