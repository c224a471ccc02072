// SPDX-License-Identifier: Apache-2.0
// The command line as one value: ports with their pins, the files each
// several-ports child gets, and the refusals that come before anything runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/list_ports.h"
#include "app/cli/options.h"
#include "app/cli/several_ports.h"
#include "app/cli/terminal.h"
#include "app/report/report.h"
#include "update/outcome.h"

namespace {

int Parse(std::vector<std::string> args, CliOptions* options) {
    args.insert(args.begin(), "zelvar");
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
}

bool Has(const std::vector<std::string>& args, const std::string& name, const std::string& value) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name && args[i + 1] == value) return true;
    }
    return false;
}

TEST(OptionsTest, BootPinsBelongToThePortBeforeThem) {
    struct Case {
        std::vector<std::string> args;
        std::vector<PortSpec> ports;  // empty: refused
    };
    const Case cases[] = {
        {{"--port", "A"}, {{"A", ""}}},
        {{"-p", "A", "--boot-pin", "c:1", "--baud", "460800", "--port=B"},
         {{"A", "c:1"}, {"B", ""}}},
        {{"--boot-pin", "c:1", "--port", "A", "--port", "B"}, {}},
        {{"--port", "A", "--port", "A"}, {}},
        {{"--port", "A", "--boot-pin", "c:1", "--boot-pin", "c:2", "--port", "B"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        CliOptions o;
        const int status = Parse(c.args, &o);
        if (c.ports.empty()) {
            EXPECT_EQ(status, 2);
            continue;
        }
        ASSERT_EQ(status, -1);
        ASSERT_EQ(o.ports.size(), c.ports.size());
        for (size_t i = 0; i < c.ports.size(); ++i) {
            EXPECT_EQ(o.ports[i].port, c.ports[i].port);
            EXPECT_EQ(o.ports[i].bootPin, c.ports[i].bootPin);
            // Each child runs its own port, with its own pin, and the shared options.
            const std::vector<std::string> child = ChildArguments(o, i, 3);
            EXPECT_EQ(std::count(child.begin(), child.end(), "--port"), 1);
            EXPECT_TRUE(Has(child, "--port", c.ports[i].port));
            EXPECT_EQ(Has(child, "--boot-pin", c.ports[i].bootPin), !c.ports[i].bootPin.empty());
            if (c.ports.size() > 1) {
                EXPECT_TRUE(Has(child, "--baud", "460800"));
            }
            EXPECT_TRUE(Has(child, "--report-fd", "3"));
        }
    }
}

TEST(OptionsTest, RefusalsBeforeAnythingStarts) {
    const std::vector<std::vector<std::string>> refused = {
        // An empty value never means "not asked".
        {"--simulate", "--backup", ""},
        {"--simulate", "--firmware", ""},
        {"--simulate", "--read="},
        {"--simulate", "--trace", ""},
        {"--port", ""},
        {"--simulate", "--baud", "0"},
        {"--simulate", "--baud", "123"},
        {"--simulate", "--force"},
        {"--read-back", "--simulate"},
        {"--simulate", "--read", "x.s", "--backup", "y.s"},
        // Several ports never share a file.
        {"--port", "/dev/A", "--port", "/dev/B", "--backup", "same.s"},
        {"--port", "/dev/A", "--port", "/dev/B", "--trace", "same.log"},
        {"--port", "/dev/A", "--port", "/dev/B", "--trace", "-"},
        {"--port", "/dev/A", "--port", "/dev/B", "--read", "same.bin"},
        {"--port", "/x/ttyS0", "--port", "/y/ttyS0", "--backup", "{port}.s"},
        {"--port", "/x/ttyS0", "--port", "/y/ttyS0", "--firmware", "old-{port}.s"},
        // --list-ports runs nothing, so it takes nothing that asks for a run.
        {"--list-ports", "--port", "/dev/A"},
        {"--list-ports", "--simulate"},
        {"--list-ports", "--info", "--json"},
        {"--list-ports", "--baud", "460800"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(testing::PrintToString(args));
        CliOptions o;
        EXPECT_EQ(Parse(args, &o), 2);
    }
}

TEST(OptionsTest, AcceptedAsGiven) {
    const std::vector<std::vector<std::string>> accepted = {
        // Ports of one name share nothing while no {port} file is asked for.
        {"--port", "/x/ttyS0", "--port", "/y/ttyS0"},
        {"--port", "/x/ttyS0", "--port", "/y/ttyS0", "--firmware", "one.s"},
        {"--list-ports"},
        {"--list-ports", "--json"},
    };
    for (const auto& args : accepted) {
        SCOPED_TRACE(testing::PrintToString(args));
        CliOptions o;
        EXPECT_EQ(Parse(args, &o), -1);
    }
}

// Under --json a refusal is the run's one document: with several ports the
// array of one refusal report per port, whether the options parsed or not.
TEST(OptionsTest, ARefusalWithSeveralPortsIsAnArrayOfReports) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "/dev/A", "--port", "/dev/B", "--json", "--backup", "same.s"},
        {"-p", "/dev/A", "--port=/dev/B", "--json", "--no-such-option"},
        {"--json", "--port", "/dev/A", "--boot-pin", "c:1", "--boot-pin", "c:2", "-p/dev/B"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        CliOptions o;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Parse(args, &o), 2);
        const std::string out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        const nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
        ASSERT_TRUE(doc.is_array()) << out;
        ASSERT_EQ(doc.size(), 2u) << out;
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(doc[i]["port"], i == 0 ? "/dev/A" : "/dev/B");
            EXPECT_EQ(doc[i]["outcome"], "not started");
            EXPECT_EQ(doc[i]["exit_status"], 2);
            EXPECT_EQ(doc[i]["flash_changed"], false);
        }
    }
}

TEST(ListPortsTest, JsonHasEveryFieldAndNullForWhatIsUnknown) {
    SerialPortInfo usb;
    usb.device = "/dev/ttyUSB0";
    usb.driver = "ftdi_sio";
    usb.usb = true;
    usb.vendorId = "0403";
    usb.productId = "6001";
    usb.serialNumber = "A1";
    usb.product = "FT232R";
    EXPECT_EQ(PortsJson({usb}), nlohmann::json::array({{{"device", "/dev/ttyUSB0"},
                                                        {"driver", "ftdi_sio"},
                                                        {"vendor_id", "0403"},
                                                        {"product_id", "6001"},
                                                        {"serial", "A1"},
                                                        {"manufacturer", nullptr},
                                                        {"product", "FT232R"}}}));
    EXPECT_EQ(PortsJson({}), nlohmann::json::array());
}

TEST(OptionsTest, EachPortGetsItsOwnFiles) {
    CliOptions o;
    ASSERT_EQ(
        Parse({"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB1", "--backup", "old-{port}.s",
               "--force", "--trace", "/tmp/{port}.log", "--json", "--firmware", "new-{port}.s"},
              &o),
        -1);
    const std::vector<std::string> a = ChildArguments(o, 0, 3);
    const std::vector<std::string> b = ChildArguments(o, 1, 3);
    EXPECT_TRUE(Has(a, "--backup", "old-ttyUSB0.s"));
    EXPECT_TRUE(Has(b, "--backup", "old-ttyUSB1.s"));
    EXPECT_TRUE(Has(a, "--trace", "/tmp/ttyUSB0.log"));
    EXPECT_TRUE(Has(b, "--trace", "/tmp/ttyUSB1.log"));
    // Each port's own back-up can be restored in one run.
    EXPECT_TRUE(Has(a, "--firmware", "new-ttyUSB0.s"));
    EXPECT_TRUE(Has(b, "--firmware", "new-ttyUSB1.s"));
    for (const auto* child : {&a, &b}) {
        EXPECT_NE(std::find(child->begin(), child->end(), "--force"), child->end());
        EXPECT_NE(std::find(child->begin(), child->end(), "--json"), child->end());
    }
}

TEST(SeveralPortsTest, TheStatusTellsWhetherAnyFlashIsIncomplete) {
    struct Case {
        std::vector<int> statuses;
        int status;
    };
    const Case cases[] = {
        {{0, 0}, 0},     {{2, 2}, 2},   {{2, 0}, 2},  // a locked port is not a stop
        {{3, 0}, 3},     {{3, 3}, 3},                 // verify: the receivers differ
        {{130, 0}, 2},                                // a flash was written: never 130
        {{130, 2}, 130}, {{1, 130}, 1}, {{2, 1, 0}, 1},
        {{0, 137}, 1},  // killed: its flash may be incomplete
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.statuses));
        std::vector<PortRun> runs;
        for (const int status : c.statuses) runs.push_back({"p", status, 0, nullptr, "", 0});
        EXPECT_EQ(SeveralPortsStatus(runs), c.status);
    }
}

std::string ReadBack(FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return text;
}

PortRun Reported(const std::string& port, int action, int outcome, bool flashChanged,
                 const char* cause) {
    RunReport report;
    report.port = port;
    report.result = UpdateRefusal(action, "", "", cause);
    report.result.outcome = outcome;
    report.result.flashChanged = flashChanged;
    if (outcome == UPDATE_OUTCOME_FAILED) {
        std::snprintf(report.result.step, sizeof report.result.step, "EPWrite");
        std::snprintf(report.result.message, sizeof report.result.message, "EPWrite Fail");
    }
    const nlohmann::json json = ReportJson(report);
    return {port, json["exit_status"].get<int>(), 0, json, "", 1.0};
}

// The parent renders each child's report: the outcome word is the report's,
// and under the table each port's cause, flash line and remedy, prefixed
// with its port; a child killed before it reported is said to be so.
TEST(SeveralPortsTest, TheTableRendersEachReport) {
    struct Case {
        PortRun run;
        std::string outcome;
        std::vector<std::string> under;  // in order, each prefixed with the port
    };
    const Case cases[] = {
        {Reported("/dev/pts/9", UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FINISHED, false, ""),
         "updated",
         {}},
        {Reported("/dev/pts/10", UPDATE_ACTION_VERIFY, UPDATE_OUTCOME_FINISHED, false, ""),
         "verified",
         {}},
        {Reported("/dev/pts/11", UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FAILED, true,
                  "agent status word 4"),
         "failed",
         {"agent status word 4", "The receiver's flash is incomplete", "Power-cycle"}},
        {Reported("/dev/pts/12", UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_STOPPED_WITH_LINK, false, ""),
         "stopped",
         {}},
        {{"/dev/pts/13", 137, 9, nullptr, "", 2.0},
         "killed",
         {"The receiver's flash may be incomplete", "Run --verify"}},
    };
    std::vector<PortRun> runs;
    for (const Case& c : cases) runs.push_back(c.run);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    PrintSeveralPortsTable(runs, out, err);
    const std::string table = ReadBack(out);
    const std::string under = ReadBack(err);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.run.port);
        std::istringstream rows(table);
        std::string row, outcome;
        while (std::getline(rows, row)) {
            std::istringstream fields(row);
            std::string port;
            if (fields >> port && port == c.run.port) fields >> outcome;
        }
        EXPECT_EQ(outcome, c.outcome) << table;
        size_t at = 0;
        for (const std::string& line : c.under) {
            at = under.find(c.run.port + ": " + line, at);
            ASSERT_NE(at, std::string::npos) << line << "\n" << under;
        }
        if (c.under.empty()) {
            EXPECT_EQ(under.find(c.run.port + ":"), std::string::npos) << under;
        }
    }
    EXPECT_EQ(table.find("flash is incomplete"), std::string::npos) << table;
}

}  // namespace

namespace {

// A trace line on the terminal: the bar is cleared before it and drawn
// again after it, never glued to it.
TEST(TerminalTest, ATraceLineGoesAroundTheBar) {
    FILE* screen = std::tmpfile();
    ASSERT_NE(screen, nullptr);
    TerminalUiStart(screen, false, true, nullptr);
    TerminalShowProgress(40);
    TerminalWriteAside(screen, "  12.0 ms 115200 bd  6 EPOpen -> ACK\n");
    TerminalFinish();
    const std::string text = ReadBack(screen);
    const size_t bar = text.find(" 40%");
    const size_t clear = text.find("\r\033[K", bar);
    const size_t line = text.find("EPOpen -> ACK\n", clear);
    const size_t again = text.find(" 40%", line);
    EXPECT_NE(bar, std::string::npos) << text;
    EXPECT_NE(clear, std::string::npos) << text;
    EXPECT_NE(line, std::string::npos) << text;
    EXPECT_NE(again, std::string::npos) << text;
}

}  // namespace
