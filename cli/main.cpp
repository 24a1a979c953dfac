// quilletctl: see Commands.h.
#include "Commands.h"

#include <iostream>

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return quillet::cli::run(args, std::cout, std::cerr);
}
