// SPDX-License-Identifier: Apache-2.0
#include "app/cli/several_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/cli/session.h"
#include "update/outcome.h"

extern char** environ;

namespace {

// More are refused with the options.
constexpr int MAX_CHILDREN = static_cast<int>(MAX_PORTS);
// How often the terminal lines are redrawn at most.
constexpr int REDRAW_MS = 200;
// The descriptor of the report pipe in each child.
constexpr int CHILD_REPORT_FD = 3;

// Read by the signal handler: the children to pass a stop on to.
volatile sig_atomic_t ChildCount = 0;
pid_t ChildPids[MAX_CHILDREN];
volatile sig_atomic_t StopSignal = 0;

void ForwardStop(int signal) {
    StopSignal = signal;
    for (sig_atomic_t i = 0; i < ChildCount; ++i) {
        if (ChildPids[i] > 0) kill(ChildPids[i], signal);
    }
}

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void InstallForwarding() {
    struct sigaction action {};
    action.sa_handler = ForwardStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : STOP_SIGNALS) sigaction(s, &action, nullptr);
    // A reader that went away must not end the bench while children write.
    signal(SIGPIPE, SIG_IGN);
}

sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : STOP_SIGNALS) sigaddset(&set, s);
    return set;
}

// A stream of lines from a child's pipe.
struct LineReader {
    int fd = -1;
    std::string partial;

    // Reads what is there; calls each complete line; false once the pipe ended.
    template <typename F>
    bool Read(F&& onLine) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (!partial.empty()) onLine(partial);
                partial.clear();
                close(fd);
                fd = -1;
                return false;
            }
            partial.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                partial.erase(0, end + 1);
                onLine(line);
            }
            return true;
        }
    }
};

struct Child {
    PortSpec target;
    PortRun run;
    pid_t pid = -1;
    LineReader out;      // its standard output: text for people
    LineReader err;      // its standard error: causes, remedies, notices
    LineReader channel;  // its reports to us
    int percent = -1;
    std::vector<std::string> heldErr;  // on a terminal, shown only if it sends no report
    bool reaped = false;
    std::chrono::steady_clock::time_point start, end;
};

// The program's own file, resolved once: a child started through
// /proc/self/exe would be named "exe" in ps and to the port lock's holder
// lookup, and a second zelvar on its port would not know it for a zelvar.
std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    std::string resolved(path, static_cast<size_t>(n));
    // Replaced since it started: only the link still reaches this program.
    if (resolved.size() > 10 && resolved.compare(resolved.size() - 10, 10, " (deleted)") == 0) {
        return "/proc/self/exe";
    }
    return resolved;
}

bool Spawn(Child* c, const CliOptions& options, size_t index, const std::string& self) {
    std::vector<std::string> args = ChildArguments(options, index, CHILD_REPORT_FD);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Each child takes the lock of its own port; one lock file named for the
    // whole run would let only the first of them run.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ZELVAR_LOCK_FILE=", 17) == 0) continue;
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int pipes[3][2];  // stdout, stderr, channel
    int made = 0;
    for (; made < 3; ++made) {
        if (pipe2(pipes[made], O_CLOEXEC) != 0) break;
    }
    const int devNull = made == 3 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    if (devNull < 0) {
        const int error = errno;
        for (int i = 0; i < made; ++i) {
            close(pipes[i][0]);
            close(pipes[i][1]);
        }
        errno = error;
        return false;
    }
    // No stop may be forwarded to a child that is not yet on the list.
    const sigset_t stops = StopSignalSet();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &stops, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group: a Ctrl-C on the terminal reaches the parent,
        // which passes it on once.
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        for (const int s : STOP_SIGNALS) signal(s, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        dup2(devNull, STDIN_FILENO);
        dup2(pipes[0][1], STDOUT_FILENO);
        dup2(pipes[1][1], STDERR_FILENO);
        if (pipes[2][1] == CHILD_REPORT_FD) {
            fcntl(CHILD_REPORT_FD, F_SETFD, 0);
        } else {
            dup2(pipes[2][1], CHILD_REPORT_FD);
        }
        execve(self.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    const int error = errno;
    for (auto& p : pipes) close(p[1]);
    close(devNull);
    if (pid > 0 && ChildCount < MAX_CHILDREN) {
        ChildPids[ChildCount] = pid;
        ChildCount = ChildCount + 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        for (auto& p : pipes) close(p[0]);
        errno = error;
        return false;
    }
    c->pid = pid;
    c->out.fd = pipes[0][0];
    c->err.fd = pipes[1][0];
    c->channel.fd = pipes[2][0];
    c->start = std::chrono::steady_clock::now();
    return true;
}

std::string Text(const nlohmann::json& report, const char* key) {
    if (!report.is_object() || !report.contains(key) || !report[key].is_string()) return "";
    return report[key].get<std::string>();
}

std::string OutcomeWord(const PortRun& run) {
    return Text(PortReport(run), "outcome");
}

class Display {
  public:
    Display(std::vector<Child>& children, bool tty, bool json)
        : children_(children), tty_(tty && !json), json_(json) {
        for (const Child& c : children_) width_ = std::max(width_, c.target.port.size());
    }

    // A line of the child's standard output: its JSON document (which comes
    // again as its report) or its lines for people.
    void Out(Child& c, const std::string& line) {
        if (json_ || tty_) return;
        std::printf("%s: %s\n", c.target.port.c_str(), line.c_str());
        std::fflush(stdout);
    }

    // A line of the child's standard error; on a terminal it would break
    // the lines redrawn in place, and the report brings the same after the
    // table.
    void Err(Child& c, const std::string& line) {
        if (tty_) {
            c.heldErr.push_back(line);
            return;
        }
        std::fprintf(stderr, "%s: %s\n", c.target.port.c_str(), line.c_str());
        std::fflush(stderr);
    }

    // A line of the child's report channel.
    void Channel(Child& c, const std::string& line) {
        int percent = 0;
        if (std::sscanf(line.c_str(), "progress %d", &percent) == 1) {
            c.percent = percent;
        } else if (line.rfind("message ", 0) == 0) {
            c.run.message = line.substr(8);
        } else if (line.rfind("report ", 0) == 0) {
            c.run.report = nlohmann::json::parse(line.substr(7), nullptr, false);
            if (!c.run.report.is_object()) c.run.report = nlohmann::json();
            if (c.run.message.empty()) c.run.message = Text(c.run.report, "message");
        }
        dirty_ = true;
    }

    // One line per port, redrawn in place.
    void Redraw(bool force) {
        if (!tty_ || (!dirty_ && !force)) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(REDRAW_MS)) return;
        if (drawn_) std::printf("\033[%zuA", children_.size());
        for (const Child& c : children_) {
            constexpr int WIDTH = 30;
            const int p = std::clamp(c.percent, 0, 100);
            const int filled = p * WIDTH / 100;
            std::printf("\r\033[K%-*s [%s%s] %3d%%  %s\n", static_cast<int>(width_),
                        c.target.port.c_str(),
                        std::string(static_cast<size_t>(filled), '#').c_str(),
                        std::string(static_cast<size_t>(WIDTH - filled), '.').c_str(), p,
                        c.reaped ? OutcomeWord(c.run).c_str() : c.run.message.c_str());
        }
        std::fflush(stdout);
        drawn_ = true;
        dirty_ = false;
        lastDraw_ = now;
    }

    void Summary() {
        std::vector<PortRun> runs;
        for (const Child& c : children_) runs.push_back(c.run);
        if (json_) {
            // One array, a report per port in the order given.
            std::printf("[\n");
            for (size_t i = 0; i < runs.size(); ++i) {
                std::printf("%s%s\n", PortReport(runs[i]).dump().c_str(),
                            i + 1 < runs.size() ? "," : "");
            }
            std::printf("]\n");
            std::fflush(stdout);
            return;
        }
        Redraw(true);
        if (tty_) {
            // What a child that sent no report said is all there is of it.
            for (const Child& c : children_) {
                if (c.run.report.is_object()) continue;
                for (const std::string& line : c.heldErr) {
                    std::fprintf(stderr, "%s: %s\n", c.target.port.c_str(), line.c_str());
                }
            }
            PrintSeveralPortsTable(runs, stdout, stderr);
            return;
        }
        // The children's own lines already said the causes and remedies;
        // only a child that sent no report needs the parent's words.
        std::vector<PortRun> unreported;
        for (const PortRun& run : runs) {
            if (!run.report.is_object()) unreported.push_back(run);
        }
        PrintSeveralPortsTable(runs, stdout, nullptr);
        PrintSeveralPortsTable(unreported, nullptr, stderr);
    }

  private:
    std::vector<Child>& children_;
    bool tty_;
    bool json_;
    size_t width_ = 0;
    bool drawn_ = false;
    bool dirty_ = true;
    std::chrono::steady_clock::time_point lastDraw_{};
};

void Reap(Child& c) {
    if (c.reaped || c.pid <= 0) return;
    int raw = 0;
    const pid_t r = waitpid(c.pid, &raw, WNOHANG);
    if (r != c.pid) return;
    c.reaped = true;
    c.end = std::chrono::steady_clock::now();
    c.run.seconds = std::chrono::duration<double>(c.end - c.start).count();
    c.run.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    c.run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + c.run.signal;
    for (sig_atomic_t i = 0; i < ChildCount; ++i) {
        if (ChildPids[i] == c.pid) ChildPids[i] = 0;
    }
}

// A port whose child never ran: the parent's own report of it.
void NeverStarted(Child& c, bool stopped, const std::string& why) {
    c.reaped = true;
    c.run.status = stopped ? UPDATE_EXIT_STOPPED : UPDATE_EXIT_FLASH_UNCHANGED;
    c.run.message = why;
    c.run.report = {{"port", c.target.port},
                    {"outcome", stopped ? "stopped" : "not started"},
                    {"exit_status", c.run.status},
                    {"flash_changed", false},
                    {"flash_line", nullptr},
                    {"failed_step", nullptr},
                    {"message", why},
                    {"cause", nullptr},
                    {"remedy", nullptr}};
}

}  // namespace

nlohmann::json PortReport(const PortRun& run) {
    if (run.report.is_object()) return run.report;
    nlohmann::json report = {
        {"port", run.port},          {"outcome", run.signal != 0 ? "killed" : "ended"},
        {"exit_status", run.status}, {"flash_changed", nullptr},
        {"failed_step", nullptr},    {"cause", nullptr}};
    if (run.signal != 0) {
        // It may have been writing: only the receiver can tell now.
        report["message"] = "killed by signal " + std::to_string(run.signal) + " (" +
                            strsignal(run.signal) + ") before it reported";
        report["flash_line"] = "The receiver's flash may be incomplete.";
        report["remedy"] =
            "Run --verify on the port; update the receiver again unless its flash holds the "
            "image.";
    } else {
        report["message"] = "ended with status " + std::to_string(run.status) + " without a report";
        report["flash_line"] = nullptr;
        report["remedy"] = nullptr;
    }
    return report;
}

std::vector<std::string> PortUnderLines(const nlohmann::json& report) {
    std::vector<std::string> lines;
    const std::string cause = Text(report, "cause");
    if (!cause.empty() && cause != Text(report, "message")) lines.push_back(cause);
    for (const char* key : {"flash_line", "remedy"}) {
        if (const std::string line = Text(report, key); !line.empty()) lines.push_back(line);
    }
    if (report.is_object() && report.contains("lost_output") && report["lost_output"].is_array()) {
        for (const auto& what : report["lost_output"]) {
            if (what.is_string()) {
                lines.push_back(what.get<std::string>() + " could not be written");
            }
        }
    }
    return lines;
}

int SeveralPortsStatus(const std::vector<PortRun>& runs) {
    std::vector<int> statuses;
    for (const PortRun& run : runs) statuses.push_back(run.status);
    return UpdateOverallStatus(statuses.data(), statuses.size());
}

void PrintSeveralPortsTable(const std::vector<PortRun>& runs, FILE* out, FILE* err) {
    if (out != nullptr) {
        size_t width = 4;
        for (const PortRun& run : runs) width = std::max(width, run.port.size());
        const int w = static_cast<int>(width);
        std::fprintf(out, "\n%-*s  %-11s  %8s  %s\n", w, "port", "outcome", "seconds", "message");
        for (const PortRun& run : runs) {
            const nlohmann::json report = PortReport(run);
            const std::string message = run.message.empty() ? Text(report, "message") : run.message;
            std::fprintf(out, "%-*s  %-11s  %8.1f  %s\n", w, run.port.c_str(),
                         Text(report, "outcome").c_str(), run.seconds, message.c_str());
        }
        std::fflush(out);
    }
    if (err != nullptr) {
        for (const PortRun& run : runs) {
            for (const std::string& line : PortUnderLines(PortReport(run))) {
                std::fprintf(err, "%s: %s\n", run.port.c_str(), line.c_str());
            }
        }
        std::fflush(err);
    }
}

int RunSeveralPorts(const CliOptions& options) {
    std::vector<Child> children(options.ports.size());
    for (size_t i = 0; i < children.size(); ++i) {
        children[i].target = options.ports[i];
        children[i].run.port = options.ports[i].port;
    }
    Display display(children, isatty(STDOUT_FILENO) != 0, options.json);
    InstallForwarding();
    const std::string self = SelfPath();

    for (size_t i = 0; i < children.size(); ++i) {
        Child& c = children[i];
        if (StopSignal != 0) {
            NeverStarted(c, true, "not started: interrupted");
        } else if (!Spawn(&c, options, i, self)) {
            NeverStarted(c, false, std::string("cannot start: ") + std::strerror(errno));
        }
    }

    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Child*, LineReader*>> owners;
        for (Child& c : children) {
            for (LineReader* reader : {&c.out, &c.err, &c.channel}) {
                if (reader->fd < 0) continue;
                fds.push_back({reader->fd, POLLIN, 0});
                owners.emplace_back(&c, reader);
            }
        }
        bool running = !fds.empty();
        for (Child& c : children) running |= !c.reaped;
        if (!running) break;
        const int ready =
            fds.empty() ? poll(nullptr, 0, REDRAW_MS) : poll(fds.data(), fds.size(), REDRAW_MS);
        if (ready > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                Child& c = *owners[i].first;
                LineReader* reader = owners[i].second;
                if (reader == &c.channel) {
                    reader->Read([&](const std::string& line) { display.Channel(c, line); });
                } else if (reader == &c.err) {
                    reader->Read([&](const std::string& line) { display.Err(c, line); });
                } else {
                    reader->Read([&](const std::string& line) { display.Out(c, line); });
                }
            }
        }
        for (Child& c : children) {
            // The outcome is taken once the child's last words are read.
            if (c.out.fd < 0 && c.err.fd < 0 && c.channel.fd < 0) Reap(c);
        }
        display.Redraw(false);
    }
    display.Summary();
    std::vector<PortRun> runs;
    for (const Child& c : children) runs.push_back(c.run);
    return SeveralPortsStatus(runs);
}
