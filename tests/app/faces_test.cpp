// SPDX-License-Identifier: Apache-2.0
// One result, every face: the same ends of a run rendered as the JSON
// report (which the page and the several-ports parent read), the lines under
// the terminal's message and the Windows program's log line, each telling
// the same status, flash state, cause and remedy.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/report/report.h"
#include "update/outcome.h"
#include "update/update.h"

namespace {

UpdateResult Result(int action, int outcome, const char* step, const char* message,
                    bool flashChanged, const char* cause) {
    UpdateResult r{};
    r.action = action;
    r.outcome = outcome;
    std::snprintf(r.step, sizeof r.step, "%s", step);
    std::snprintf(r.message, sizeof r.message, "%s", message);
    std::snprintf(r.detail, sizeof r.detail, "%s", cause);
    r.flashChanged = flashChanged;
    r.agentLeftRunning = flashChanged;
    return r;
}

TEST(FacesTest, EveryFaceTellsTheSameStatusFlashCauseAndRemedy) {
    struct Case {
        const char* name;
        UpdateResult result;
        int status;
        const char* outcome;
        const char* remedy;  // a part of it; "" when there is none
    };
    const Case cases[] = {
        {"finished",
         Result(UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FINISHED, "", "Download Finish", true, ""), 0,
         "updated", ""},
        {"silent receiver",
         Result(UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FAILED, "OpenReceiver",
                "Please close the GPS application !", false, "no answer at 38400 baud"),
         2, "failed", "boot ROM"},
        {"refused part",
         Result(UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FAILED, "EPOpen", "EPOpen Fail!", false,
                "EPOpen: agent status word 7"),
         2, "failed", ""},
        {"write failed",
         Result(UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_FAILED, "EPWrite", "EPWrite Fail", true,
                "EPWrite of 4096 bytes at 0x00012000: agent status word 4"),
         1, "failed", "update again"},
        {"stopped",
         Result(UPDATE_ACTION_UPDATE, UPDATE_OUTCOME_STOPPED_WITH_LINK, "", "", false, ""), 130,
         "stopped", ""},
        {"verify differs", Result(UPDATE_ACTION_VERIFY, UPDATE_OUTCOME_DIFFERS, "", "", false, ""),
         3, "differs", "Update the receiver"},
        {"refused by power",
         UpdateRefusal(UPDATE_ACTION_UPDATE, "PowerStatus", "Please install AC charger!", ""), 2,
         "not started", "external power"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunReport report;
        report.result = c.result;
        const std::string cause = c.result.detail;

        // The JSON report.
        const nlohmann::json json = ReportJson(report);
        EXPECT_EQ(json["exit_status"], c.status);
        EXPECT_EQ(json["outcome"], c.outcome);
        EXPECT_EQ(json["flash_changed"], c.result.flashChanged);
        if (cause.empty()) {
            EXPECT_TRUE(json["cause"].is_null());
        } else {
            EXPECT_EQ(json["cause"], cause);
        }
        if (c.remedy[0] == '\0') {
            EXPECT_TRUE(json["remedy"].is_null()) << json["remedy"];
        } else {
            EXPECT_NE(json["remedy"].get<std::string>().find(c.remedy), std::string::npos);
        }

        // The lines under the terminal's message.
        std::string under;
        for (const std::string& line : ReportUnderLines(report)) under += line + "\n";
        if (!cause.empty()) {
            EXPECT_NE(under.find(cause), std::string::npos) << under;
        }
        if (c.remedy[0] != '\0') {
            EXPECT_NE(under.find(c.remedy), std::string::npos) << under;
        }
        if (c.status == 1) {
            EXPECT_NE(under.find("flash is incomplete"), std::string::npos);
        }
        if (c.status == 2 && c.result.outcome == UPDATE_OUTCOME_FAILED) {
            EXPECT_NE(under.find("flash was not changed"), std::string::npos) << under;
        }

        // The Windows log line.
        char line[1024];
        UpdateResultLine(c.result, line, sizeof line);
        const std::string log = line;
        EXPECT_NE(log.find("status " + std::to_string(c.status)), std::string::npos) << log;
        EXPECT_NE(log.find(c.result.flashChanged ? "flash changed" : "flash unchanged"),
                  std::string::npos)
            << log;
        if (!cause.empty()) {
            EXPECT_NE(log.find(cause), std::string::npos) << log;
        }
        if (c.remedy[0] != '\0') {
            EXPECT_NE(log.find(c.remedy), std::string::npos) << log;
        }
    }
}

TEST(FacesTest, SeveralRunsMakeOneStatusThatTellsAnIncompleteFlash) {
    struct Case {
        std::vector<int> statuses;
        int overall;
    };
    const Case cases[] = {
        {{0, 0}, 0},    {{0, 130}, 2}, {{130, 2}, 130}, {{130, 1}, 1},
        {{3, 2, 0}, 3}, {{2, 0}, 2},   {{0, 137}, 1},   {{}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UpdateOverallStatus(c.statuses.data(), c.statuses.size()), c.overall);
    }
}

TEST(FacesTest, ThePowerRuleIsOneFunction) {
    EXPECT_STREQ(UpdatePowerRefusal(1, 0, UPDATE_ACTION_UPDATE, false),
                 "Please install AC charger!");
    EXPECT_EQ(UpdatePowerRefusal(1, 0, UPDATE_ACTION_UPDATE, true), nullptr);
    EXPECT_EQ(UpdatePowerRefusal(1, 0, UPDATE_ACTION_IDENTIFY, false), nullptr);
    EXPECT_EQ(UpdatePowerRefusal(1, 1, UPDATE_ACTION_UPDATE, false), nullptr);
    EXPECT_NE(UpdatePowerRefusal(0, 1, UPDATE_ACTION_READ, false), nullptr);
}

}  // namespace
