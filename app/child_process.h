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
// throws). Throws machine_error when no process can be made.
child_process start_child(const std::function<int()>& body);

// Reads from the running children until one of them has finished; answers
// its index in children (its err and status filled in), or -1 when none runs.
int wait_any(std::vector<child_process*>& children);

// The child's last line of standard error, for a one-line report.
std::string last_line(const std::string& err);

}  // namespace sf::app
