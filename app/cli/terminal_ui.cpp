#include "app/cli/terminal_ui.h"

#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex Lock;
FILE* Out = stdout;
bool Interactive = false;
bool Tty = false;
bool BarDrawn = false;
int LastShown = -1;
std::vector<std::string> Messages;
int (*Progress)() = nullptr;

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
    Messages.emplace_back(text);
    std::fflush(Out);
    TerminalShowCause();
    if (Interactive) {
        std::fputs("Press Enter to continue.", Out);
        std::fflush(Out);
        std::string line;
        std::getline(std::cin, line);
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
    Messages.clear();
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

void TerminalShowCause() {
    const char* cause = PlatformCauseText();
    if (cause[0] == '\0') return;
    const int error = PlatformCauseError();
    if (error != 0) {
        std::fprintf(stderr, "zelvar: %s: %s\n", cause, std::strerror(error));
    } else {
        std::fprintf(stderr, "zelvar: %s\n", cause);
    }
    std::fflush(stderr);
    PlatformCauseClear();
}

bool TerminalSawMessage(const char* text) {
    std::lock_guard<std::mutex> guard(Lock);
    for (const std::string& m : Messages) {
        if (m == text) return true;
    }
    return false;
}
