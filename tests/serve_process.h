// Reading the first line a starting `sylvaform serve` prints, which names
// the port it listens on.
#pragma once

#include <unistd.h>

#include <string>

namespace sf::test {

inline constexpr const char* k_serve_banner = "Sylvaform is running at http://127.0.0.1:";

// Reads the first line from fd (then closes it) into line; answers the
// port it announces, or -1 when it is not the banner.
inline int announced_port(int fd, std::string& line) {
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
    ::close(fd);
    const std::string prefix = k_serve_banner;
    return line.rfind(prefix, 0) == 0 ? std::stoi(line.substr(prefix.size())) : -1;
}

}  // namespace sf::test
