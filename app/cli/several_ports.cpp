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

extern char** environ;

namespace {

constexpr int MAX_CHILDREN = 64;
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
    pid_t pid = -1;
    LineReader out;       // its standard output and error: text for people
    LineReader channel;   // its reports to us
    int percent = -1;
    std::string message;  // the last box it showed
    nlohmann::json report;  // its report, once it sent one
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
        case EXIT_DIFFERS:
            return "differs";
        case EXIT_INTERRUPTED:
            return "stopped";
        default:
            return "ended";
    }
}

bool Spawn(Child* c, const CliOptions& options, size_t index) {
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

    int out[2];
    int channel[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(channel, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) {
        for (int fd : {out[0], out[1], channel[0], channel[1]}) close(fd);
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
        dup2(out[1], STDOUT_FILENO);
        // A JSON document on standard output stays clean of the notices.
        if (!options.json) dup2(out[1], STDERR_FILENO);
        if (channel[1] == CHILD_REPORT_FD) {
            fcntl(CHILD_REPORT_FD, F_SETFD, 0);
        } else {
            dup2(channel[1], CHILD_REPORT_FD);
        }
        execve("/proc/self/exe", argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(channel[1]);
    close(devNull);
    if (pid > 0 && ChildCount < MAX_CHILDREN) {
        ChildPids[ChildCount] = pid;
        ChildCount = ChildCount + 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        close(out[0]);
        close(channel[0]);
        return false;
    }
    c->pid = pid;
    c->out.fd = out[0];
    c->channel.fd = channel[0];
    c->start = std::chrono::steady_clock::now();
    return true;
}

class Display {
  public:
    Display(std::vector<Child>& children, bool tty, bool json)
        : children_(children), tty_(tty && !json), json_(json) {
        for (const Child& c : children_) width_ = std::max(width_, c.target.port.size());
    }

    // A line of the child's human output.
    void Text(Child& c, const std::string& line) {
        if (json_ || tty_) return;
        std::printf("%s: %s\n", c.target.port.c_str(), line.c_str());
        std::fflush(stdout);
    }

    // A line of the child's report channel.
    void Channel(Child& c, const std::string& line) {
        int percent = 0;
        if (std::sscanf(line.c_str(), "progress %d", &percent) == 1) {
            c.percent = percent;
        } else if (line.rfind("message ", 0) == 0) {
            c.message = line.substr(8);
        } else if (line.rfind("report ", 0) == 0) {
            c.report = nlohmann::json::parse(line.substr(7), nullptr, false);
            if (c.report.is_discarded()) c.report = nlohmann::json();
            if (c.message.empty() && c.report.is_object() && c.report.contains("message") &&
                c.report["message"].is_string()) {
                c.message = c.report["message"].get<std::string>();
            }
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
            // sent none is described by its port and status alone.
            std::printf("[\n");
            for (size_t i = 0; i < children_.size(); ++i) {
                const Child& c = children_[i];
                nlohmann::json report = c.report;
                if (!report.is_object()) {
                    report = {{"port", c.target.port},
                              {"outcome", OutcomeName(c.status)},
                              {"exit_status", c.status},
                              {"message", c.message.empty() ? nlohmann::json(nullptr)
                                                            : nlohmann::json(c.message)}};
                }
                std::printf("%s%s\n", report.dump().c_str(), i + 1 < children_.size() ? "," : "");
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

}  // namespace

int SeveralPortsStatus(const std::vector<int>& statuses) {
    int worst = EXIT_UPDATED;
    // From the least to the most telling: the highest rank wins.
    auto rank = [](int status) {
        switch (status) {
            case EXIT_UPDATED:
                return 0;
            case EXIT_NOT_STARTED:
                return 1;
            case EXIT_DIFFERS:
                return 2;
            case EXIT_INTERRUPTED:
                return 3;
            default:
                return 4;  // failed, or ended some other way
        }
    };
    for (const int s : statuses) {
        if (rank(s) > rank(worst)) worst = rank(s) == 4 ? EXIT_FAILED : s;
    }
    return worst;
}

int RunSeveralPorts(const CliOptions& options) {
    if (options.ports.size() > MAX_CHILDREN) {
        std::fprintf(stderr, "zelvar: at most %d ports at once\n", MAX_CHILDREN);
        return EXIT_NOT_STARTED;
    }
    std::vector<Child> children(options.ports.size());
    for (size_t i = 0; i < children.size(); ++i) children[i].target = options.ports[i];
    Display display(children, isatty(STDOUT_FILENO) != 0, options.json);
    InstallForwarding();

    for (size_t i = 0; i < children.size(); ++i) {
        Child& c = children[i];
        if (StopSignal != 0) {
            c.message = "not started: interrupted";
        } else if (!Spawn(&c, options, i)) {
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
        std::vector<std::pair<Child*, bool>> owners;  // the child, and whether its channel
        for (Child& c : children) {
            if (c.out.fd >= 0) {
                fds.push_back({c.out.fd, POLLIN, 0});
                owners.emplace_back(&c, false);
            }
            if (c.channel.fd >= 0) {
                fds.push_back({c.channel.fd, POLLIN, 0});
                owners.emplace_back(&c, true);
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
                if (owners[i].second) {
                    c.channel.Read([&](const std::string& line) { display.Channel(c, line); });
                } else {
                    c.out.Read([&](const std::string& line) { display.Text(c, line); });
                }
            }
        }
        for (Child& c : children) {
            // The outcome is taken once the child's last words are read.
            if (c.out.fd < 0 && c.channel.fd < 0) Reap(c);
        }
        display.Redraw(false);
    }
    display.Summary();
    std::vector<int> statuses;
    for (const Child& c : children) statuses.push_back(c.status);
    return SeveralPortsStatus(statuses);
}
