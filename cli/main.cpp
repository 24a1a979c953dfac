// quilletctl: see Commands.h.
#include "Commands.h"

#include "platform/System.h"

#include <unistd.h>

#include <iostream>

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    quillet::cli::Console console;
    console.interactive = quillet::sys::isTerminal(STDIN_FILENO) && quillet::sys::isTerminal(STDERR_FILENO);
    console.in = &std::cin;
    console.passwordFd = STDIN_FILENO;
    return quillet::cli::run(args, std::cout, std::cerr, console);
}
