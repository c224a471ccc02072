// SPDX-License-Identifier: Apache-2.0
// The command line as one value: ports with their pins, the files each
// several-ports child gets, and the refusals that come before anything runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/options.h"
#include "app/cli/several_ports.h"
#include "app/cli/terminal.h"

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
        {{"-p", "A", "--boot-pin", "c:1", "--baud", "460800", "--port=B"}, {{"A", "c:1"}, {"B", ""}}},
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
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(testing::PrintToString(args));
        CliOptions o;
        EXPECT_EQ(Parse(args, &o), 2);
    }
}

TEST(OptionsTest, EachPortGetsItsOwnFiles) {
    CliOptions o;
    ASSERT_EQ(Parse({"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB1", "--backup",
                     "old-{port}.s", "--force", "--trace", "/tmp/{port}.log", "--json"},
                    &o),
              -1);
    const std::vector<std::string> a = ChildArguments(o, 0, 3);
    const std::vector<std::string> b = ChildArguments(o, 1, 3);
    EXPECT_TRUE(Has(a, "--backup", "old-ttyUSB0.s"));
    EXPECT_TRUE(Has(b, "--backup", "old-ttyUSB1.s"));
    EXPECT_TRUE(Has(a, "--trace", "/tmp/ttyUSB0.log"));
    EXPECT_TRUE(Has(b, "--trace", "/tmp/ttyUSB1.log"));
    for (const auto* child : {&a, &b}) {
        EXPECT_NE(std::find(child->begin(), child->end(), "--force"), child->end());
        EXPECT_NE(std::find(child->begin(), child->end(), "--json"), child->end());
    }
}

TEST(OptionsTest, SeveralPortsEndWithTheWorstStatus) {
    struct Case {
        std::vector<int> statuses;
        int status;
    };
    const Case cases[] = {
        {{0, 0}, 0},      {{2, 2}, 2},   {{2, 0}, 2},  // a locked port is not a stop
        {{3, 0}, 3},      {{3, 3}, 3},                 // verify: the receivers differ
        {{130, 0}, 130},  {{130, 2}, 130}, {{1, 130}, 1},
        {{0, 137}, 1},  // killed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.statuses));
        EXPECT_EQ(SeveralPortsStatus(c.statuses), c.status);
    }
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
    std::rewind(screen);
    std::string text;
    for (int c = std::fgetc(screen); c != EOF; c = std::fgetc(screen)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(screen);
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
