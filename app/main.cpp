#include <cstring>

#include "app/command.h"
#include "formats/crown_child.h"

int main(int argc, char** argv) {
    // The program runs itself as the sandboxed crown reader.
    if (argc > 1 && std::strcmp(argv[1], sf::formats::k_crown_child_argument) == 0)
        return sf::formats::crown_child_main(argc, argv);
    return sf::app::run_program(argc, argv);
}
