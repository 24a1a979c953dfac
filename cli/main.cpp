// quilletctl: see Commands.h.
#include "Commands.h"

#include <unistd.h>

#include <iostream>

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    quillet::cli::Console console;
    console.interactive = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
    console.in = &std::cin;
    return quillet::cli::run(args, std::cout, std::cerr, console);
}
