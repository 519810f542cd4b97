#include "app/command.h"

int main(int argc, char** argv) { return sf::app::run_program(argc, argv); }
