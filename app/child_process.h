// Work run in forked child processes. The plug-in module keeps module-level
// state, so separate trees are built in separate processes, never threads.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace sf::app {

struct child_process {
    pid_t pid = -1;
    int err_fd = -1;      // the child's standard error, read by the parent
    std::string err;      // what it has written so far
    int status = -1;      // exit status once finished; -1 for a signal
};

// Forks; the child runs body with its standard output on /dev/null and its
// standard error into a pipe, then exits with body's answer (2 when body
// throws). The child is killed when the thread that started it ends (the
// parent's death included) and takes SIGINT and SIGTERM the default way.
// Throws machine_error when no process can be made.
child_process start_child(const std::function<int()>& body);

// While one lives, SIGINT and SIGTERM do not end this process: they are
// held back except while wait_any waits, which then answers -1 and
// caught() tells which came. One at a time, on the thread that waits.
class stop_signals {
public:
    stop_signals();
    ~stop_signals();
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;
    int caught() const;  // 0 while none came
};

// Reads from the running children until one of them has finished; answers
// its index in children (its err and status filled in), or -1 when none
// runs or a stop signal came.
int wait_any(std::vector<child_process*>& children);

// Stops the running children (SIGTERM) and waits for them.
void stop_all(std::vector<child_process*>& children);

// The child's last line of standard error, for a one-line report.
std::string last_line(const std::string& err);

}  // namespace sf::app
