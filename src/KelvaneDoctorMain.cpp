#include "KelvaneDoctor.h"

#include <iostream>

int main(int argc, char** argv) {
    const std::string program = argc > 0 && argv[0] ? argv[0] : "kelvane-doctor";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return kelvane::doctor::run(program, arguments, kelvane::Places::standard(), std::cout, std::cerr);
}
