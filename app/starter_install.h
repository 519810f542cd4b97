// Installing the starter presets on a shelf: each grown by the command
// line's "preset add" in a process of its own.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "app/command.h"

namespace sf::app {

// Grows and saves every starter preset on the shelf, each in its own
// process, replacing presets of the same names. Answers how many were
// saved; each failure is reported (one line each) through report.
int install_starters(const std::filesystem::path& shelf, const host_options& options,
                     const std::function<void(const std::string&)>& report);

}  // namespace sf::app
