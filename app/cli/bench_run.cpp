// SPDX-License-Identifier: Apache-2.0
#include "app/cli/bench_run.h"

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
#include <string>
#include <vector>

#include "app/cli/shell.h"

extern char** environ;

namespace {

constexpr const char* PORT_OPTION = "--port";
constexpr const char* PIN_OPTION = "--boot-pin";
constexpr int MAX_CHILDREN = 64;
// How often the terminal lines are redrawn at most.
constexpr int REDRAW_MS = 200;

// The value of an option given as "--name VALUE" or "--name=VALUE"; *consumed
// is how many arguments it took (0: not this option).
bool OptionValue(int argc, char** argv, int i, const char* name, std::string* value,
                 int* consumed) {
    const size_t length = std::strlen(name);
    if (std::strcmp(argv[i], name) == 0) {
        if (i + 1 >= argc) return false;
        *value = argv[i + 1];
        *consumed = 2;
        return true;
    }
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
        *value = argv[i] + length + 1;
        *consumed = 1;
        return true;
    }
    return false;
}

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

struct Child {
    BenchPort target;
    pid_t pid = -1;
    int out = -1;         // its standard output and error
    std::string partial;  // a line not yet ended
    int percent = -1;
    std::string message;  // the last line it printed that was not progress
    std::string report;   // with --json: its whole standard output, one JSON object
    bool reaped = false;
    int status = -1;  // exit status, 128 + signal when killed
    std::chrono::steady_clock::time_point start, end;
};

double Seconds(const Child& c) {
    return std::chrono::duration<double>(c.end - c.start).count();
}

const char* OutcomeName(int status) {
    switch (status) {
        case EXIT_UPDATED:
            return "finished";
        case EXIT_FAILED:
            return "failed";
        case EXIT_NOT_STARTED:
            return "not started";
        case EXIT_INTERRUPTED:
            return "stopped";
        default:
            return "ended";
    }
}

bool WantsJson(const std::vector<std::string>& common) {
    return std::find(common.begin(), common.end(), "--json") != common.end();
}

bool Spawn(Child* c, const std::vector<std::string>& common) {
    std::vector<std::string> args{"zelvar"};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), {PORT_OPTION, c->target.port});
    if (!c->target.bootPin.empty()) args.insert(args.end(), {PIN_OPTION, c->target.bootPin});
    args.emplace_back("--no-wait");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Each child takes the lock of its own port; one lock file named for the
    // whole bench would let only the first of them run.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ZELVAR_LOCK_FILE=", 17) == 0) continue;
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    // No stop may be forwarded to a child that is not yet on the list.
    const sigset_t stops = StopSignalSet();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &stops, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group: a Ctrl-C on the terminal reaches the bench,
        // which passes it on once.
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        for (const int s : STOP_SIGNALS) signal(s, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        dup2(devNull, STDIN_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        // A JSON report on standard output stays clean of the notices.
        if (!WantsJson(common)) dup2(fds[1], STDERR_FILENO);
        execve("/proc/self/exe", argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    close(devNull);
    if (pid > 0 && ChildCount < MAX_CHILDREN) {
        ChildPids[ChildCount] = pid;
        ChildCount = ChildCount + 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    c->pid = pid;
    c->out = fds[0];
    c->start = std::chrono::steady_clock::now();
    return true;
}

class Display {
  public:
    Display(std::vector<Child>& children, bool tty, bool json)
        : children_(children), tty_(tty && !json), json_(json) {
        for (const Child& c : children_) width_ = std::max(width_, c.target.port.size());
    }

    void Line(Child& c, const std::string& line) {
        if (json_) {
            c.report += line + "\n";
            return;
        }
        int percent = 0;
        if (std::sscanf(line.c_str(), "progress %d%%", &percent) == 1) {
            c.percent = percent;
        } else if (!line.empty()) {
            c.message = line;
        }
        if (!tty_) {
            std::printf("%s: %s\n", c.target.port.c_str(), line.c_str());
            std::fflush(stdout);
        } else {
            dirty_ = true;
        }
    }

    // One line per port, redrawn in place.
    void Redraw(bool force) {
        if (!tty_ || (!dirty_ && !force)) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(REDRAW_MS)) return;
        if (drawn_) std::printf("\033[%zuA", children_.size());
        for (const Child& c : children_) {
            constexpr int WIDTH = 30;
            const int p = c.percent < 0 ? 0 : c.percent;
            const int filled = p * WIDTH / 100;
            std::printf("\r\033[K%-*s [%s%s] %3d%%  %s\n", static_cast<int>(width_),
                        c.target.port.c_str(),
                        std::string(static_cast<size_t>(filled), '#').c_str(),
                        std::string(static_cast<size_t>(WIDTH - filled), '.').c_str(), p,
                        c.reaped ? OutcomeName(c.status) : c.message.c_str());
        }
        std::fflush(stdout);
        drawn_ = true;
        dirty_ = false;
        lastDraw_ = now;
    }

    void Summary() {
        if (json_) {
            // One array, a report per port in the order given; a child that
            // wrote none is described by its port and status alone.
            std::printf("[\n");
            for (size_t i = 0; i < children_.size(); ++i) {
                const Child& c = children_[i];
                std::string report = c.report;
                while (!report.empty() && (report.back() == '\n' || report.back() == ' ')) {
                    report.pop_back();
                }
                if (report.empty() || report.front() != '{') {
                    report = "{\"port\": \"" + c.target.port +
                             "\", \"exit_status\": " + std::to_string(c.status) + "}";
                }
                std::printf("%s%s\n", report.c_str(), i + 1 < children_.size() ? "," : "");
            }
            std::printf("]\n");
            std::fflush(stdout);
            return;
        }
        Redraw(true);
        const int w = static_cast<int>(std::max<size_t>(width_, 4));
        std::printf("\n%-*s  %-11s  %8s  %s\n", w, "port", "outcome", "seconds", "message");
        for (const Child& c : children_) {
            std::printf("%-*s  %-11s  %8.1f  %s\n", w, c.target.port.c_str(), OutcomeName(c.status),
                        Seconds(c), c.message.c_str());
        }
        std::fflush(stdout);
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

void Drain(Child& c, Display& display) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(c.out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!c.partial.empty()) display.Line(c, c.partial);
            c.partial.clear();
            close(c.out);
            c.out = -1;
            return;
        }
        c.partial.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = c.partial.find('\n')) != std::string::npos) {
            std::string line = c.partial.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            c.partial.erase(0, end + 1);
            display.Line(c, line);
        }
        return;
    }
}

void Reap(Child& c) {
    if (c.reaped || c.pid <= 0) return;
    int raw = 0;
    const pid_t r = waitpid(c.pid, &raw, WNOHANG);
    if (r != c.pid) return;
    c.reaped = true;
    c.end = std::chrono::steady_clock::now();
    c.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    for (sig_atomic_t i = 0; i < ChildCount; ++i) {
        if (ChildPids[i] == c.pid) ChildPids[i] = 0;
    }
}

int BenchStatus(const std::vector<Child>& children) {
    bool allFinished = true;
    bool noneStarted = true;
    bool anyFailed = false;
    for (const Child& c : children) {
        allFinished &= c.status == EXIT_UPDATED;
        noneStarted &= c.status == EXIT_NOT_STARTED;
        anyFailed |= c.status != EXIT_UPDATED && c.status != EXIT_NOT_STARTED &&
                     c.status != EXIT_INTERRUPTED;
    }
    if (allFinished) return EXIT_UPDATED;
    if (noneStarted) return EXIT_NOT_STARTED;
    if (anyFailed) return EXIT_FAILED;
    return EXIT_INTERRUPTED;
}

}  // namespace

BenchPlan PlanBench(int argc, char** argv) {
    BenchPlan plan;
    std::vector<int> kinds(static_cast<size_t>(argc), 0);  // 1 port, 2 pin
    std::vector<std::string> values(static_cast<size_t>(argc));
    int ports = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        std::string value;
        int consumed = 0;
        if (OptionValue(argc, argv, i, PORT_OPTION, &value, &consumed)) {
            kinds[static_cast<size_t>(i)] = 1;
            ++ports;
        } else if (OptionValue(argc, argv, i, PIN_OPTION, &value, &consumed)) {
            kinds[static_cast<size_t>(i)] = 2;
        } else {
            continue;
        }
        values[static_cast<size_t>(i)] = value;
        if (consumed == 2) kinds[static_cast<size_t>(++i)] = 3;  // the value itself
    }
    if (ports < 2) {
        for (int i = 1; i < argc; ++i) {
            if (kinds[static_cast<size_t>(i)] == 1) plan.ports.push_back({values[i], ""});
        }
        return plan;
    }
    plan.firstPortArgs.emplace_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const int kind = kinds[static_cast<size_t>(i)];
        const std::string& value = values[static_cast<size_t>(i)];
        if (kind == 0) {
            plan.common.emplace_back(argv[i]);
            plan.firstPortArgs.emplace_back(argv[i]);
        } else if (kind == 1) {
            for (const BenchPort& p : plan.ports) {
                if (p.port == value) plan.error = "the port " + value + " is given twice";
            }
            plan.ports.push_back({value, ""});
        } else if (kind == 2) {
            if (plan.ports.empty()) {
                plan.error = "--boot-pin goes after the --port it belongs to";
            } else if (!plan.ports.back().bootPin.empty()) {
                plan.error = "the port " + plan.ports.back().port + " has two --boot-pin";
            } else {
                plan.ports.back().bootPin = value;
            }
        }
    }
    plan.firstPortArgs.insert(plan.firstPortArgs.end(), {PORT_OPTION, plan.ports[0].port});
    if (!plan.ports[0].bootPin.empty()) {
        plan.firstPortArgs.insert(plan.firstPortArgs.end(), {PIN_OPTION, plan.ports[0].bootPin});
    }
    return plan;
}

int RunBench(const BenchPlan& plan) {
    if (plan.ports.size() > MAX_CHILDREN) {
        std::fprintf(stderr, "zelvar: at most %d ports at once\n", MAX_CHILDREN);
        return EXIT_NOT_STARTED;
    }
    std::vector<Child> children(plan.ports.size());
    for (size_t i = 0; i < children.size(); ++i) children[i].target = plan.ports[i];
    Display display(children, isatty(STDOUT_FILENO) != 0, WantsJson(plan.common));
    InstallForwarding();

    for (Child& c : children) {
        if (StopSignal != 0) {
            c.message = "not started: interrupted";
        } else if (!Spawn(&c, plan.common)) {
            c.message = std::string("cannot start: ") + std::strerror(errno);
        }
        if (c.pid <= 0) {
            c.reaped = true;
            c.status = StopSignal != 0 ? EXIT_INTERRUPTED : EXIT_NOT_STARTED;
            c.start = c.end = std::chrono::steady_clock::now();
        }
    }

    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Child*> owners;
        for (Child& c : children) {
            if (c.out >= 0) {
                fds.push_back({c.out, POLLIN, 0});
                owners.push_back(&c);
            }
        }
        bool running = !fds.empty();
        for (Child& c : children) running |= !c.reaped;
        if (!running) break;
        const int ready =
            fds.empty() ? poll(nullptr, 0, REDRAW_MS) : poll(fds.data(), fds.size(), REDRAW_MS);
        if (ready > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                    Drain(*owners[i], display);
            }
        }
        for (Child& c : children) {
            // The outcome is taken once the child's last words are read.
            if (c.out < 0) Reap(c);
        }
        display.Redraw(false);
    }
    display.Summary();
    return BenchStatus(children);
}
