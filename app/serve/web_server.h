// `sylvaform serve`: the tool hosted behind a local web page. The page is
// the panel and the viewport; the server checks every request before
// anything reaches the tool.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/serve/tool_worker.h"

namespace sf::app {

struct serve_options {
    worker_setup setup;
    std::string host = "127.0.0.1";  // loopback unless given
    // Host names (lower case, IPv6 addresses in brackets) requests may be
    // addressed to besides the loopback names.
    std::vector<std::string> allow_hosts;
    int port = 8642;                 // 0: any free port
    std::size_t max_upload = std::size_t(64) << 20;
};

// Runs until SIGINT or SIGTERM; answers the exit status. Prints the
// address to open on standard output once listening.
int run_serve(const serve_options& options);

// A host name or address as --allow-host takes it, in the form a Host
// header carries it; usage_error when it is not one.
std::string check_host_name(const std::string& name);

}  // namespace sf::app
