// SPDX-License-Identifier: Apache-2.0
#include "app/cli/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "app/report/report.h"
#include "update/update.h"

namespace {

std::mutex Lock;
FILE* Out = stdout;
bool Interactive = false;
bool Tty = false;
bool BarDrawn = false;
int LastShown = -1;
int (*Progress)() = nullptr;
std::string LastCause;

// How often a waiting message looks whether a stop answered it.
constexpr int ANSWER_POLL_MS = 100;

// Waits for Enter. End of input, a read error (the terminal went away) and a
// stop all count as the answer, so that nobody at the keyboard never blocks
// the run.
bool AwaitAnswer() {
    for (;;) {
        if (UpdateStopRequested()) return false;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, ANSWER_POLL_MS);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
    }
}

void Draw(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (percent == LastShown) return;
    if (Tty) {
        constexpr int WIDTH = 40;
        const int filled = percent * WIDTH / 100;
        std::fprintf(Out, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(WIDTH - filled), '.').c_str(), percent);
        BarDrawn = true;
    } else {
        std::fprintf(Out, "progress %d%%\n", percent);
    }
    LastShown = percent;
    std::fflush(Out);
}

void EndBarLine() {
    if (BarDrawn) {
        std::fputc('\n', Out);
        BarDrawn = false;
    }
}

bool TakeCause();

// Under a message: once the outcome is decided, what the result says of it
// (the cause, whether the flash changed, what to do next); before that (a
// board step's own message) the cause the back end recorded.
void ShowUnderLines() {
    if (UpdateOutcome() == UPDATE_OUTCOME_NONE) {
        if (TakeCause()) {
            std::fprintf(stderr, "zelvar: %s\n", LastCause.c_str());
            std::fflush(stderr);
        }
        return;
    }
    RunReport report;
    report.result = UpdateLastResult();
    LastCause = ReportCause(report);
    PlatformCauseClear();
    for (const std::string& line : ReportUnderLines(report)) {
        std::fprintf(stderr, "zelvar: %s\n", line.c_str());
    }
    std::fflush(stderr);
}

void Message(const char* text, const char* caption) {
    std::lock_guard<std::mutex> guard(Lock);
    // The bar as it stands when the box comes up, then the box below it.
    if (Progress != nullptr) Draw(Progress());
    EndBarLine();
    // One line per box: the caption, then the text, both exactly as shown on
    // the handheld; a box without a caption shows the text alone.
    if (caption[0] != '\0') {
        std::fprintf(Out, "[%s] %s\n", caption, text);
    } else {
        std::fprintf(Out, "%s\n", text);
    }
    std::fflush(Out);
    ShowUnderLines();
    if (Interactive) {
        std::fputs("Press Enter to continue.", Out);
        std::fflush(Out);
        // Enter ends the line itself; any other answer leaves it to us.
        if (!AwaitAnswer()) std::fputc('\n', Out);
    }
    std::fflush(Out);
}

const UiOps Table{Message};

}  // namespace

void TerminalUiStart(FILE* out, bool interactive, bool tty, int (*progress)()) {
    std::lock_guard<std::mutex> guard(Lock);
    Progress = progress;
    Out = out;
    Interactive = interactive;
    Tty = tty;
    BarDrawn = false;
    LastShown = -1;
    LastCause.clear();
}

const UiOps& TerminalUiOps() {
    return Table;
}

void TerminalShowProgress(int percent) {
    std::lock_guard<std::mutex> guard(Lock);
    Draw(percent);
}

void TerminalFinish() {
    std::lock_guard<std::mutex> guard(Lock);
    EndBarLine();
    std::fflush(Out);
}

namespace {

// Takes the platform's cause record into LastCause; false when there is none.
bool TakeCause() {
    const char* cause = PlatformCauseText();
    if (cause[0] == '\0') return false;
    const int error = PlatformCauseError();
    LastCause = cause;
    if (error != 0) LastCause += std::string(": ") + std::strerror(error);
    PlatformCauseClear();
    return true;
}

}  // namespace

void TerminalShowCause() {
    if (!TakeCause()) return;
    std::fprintf(stderr, "zelvar: %s\n", LastCause.c_str());
    std::fflush(stderr);
}

void TerminalKeepCause() {
    TakeCause();
}

std::string TerminalLastCause() {
    return LastCause;
}

void TerminalWriteAside(FILE* file, const char* line) {
    std::lock_guard<std::mutex> guard(Lock);
    const bool redraw = BarDrawn && Tty;
    if (redraw) {
        std::fputs("\r\033[K", Out);
        std::fflush(Out);
    }
    std::fputs(line, file);
    std::fflush(file);
    if (redraw) {
        const int shown = LastShown;
        LastShown = -1;
        Draw(shown);
    }
}
