#include <iostream>
#include <string>
#include <vector>

#include "ctl_run.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = brinmoor::CtlMain(arguments, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
