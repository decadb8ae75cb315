#pragma once
// brinmoorctl's command line: options first, then one command and its
// arguments.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace brinmoor {

enum class CtlAction { Run, Help, Version, Refuse };

struct CtlCommandLine {
    CtlAction action = CtlAction::Run;
    std::string host = "127.0.0.1";
    std::uint16_t port = 4532;
    std::chrono::milliseconds timeout{10000};  // for the connect and for each reply
    std::string command;                       // ports, status, watch, cfg, check, ag, pw, ptt, cw,
                                               // cat, quit
    std::vector<std::string> arguments;
    std::string refusal;  // why the command line is refused
};

// The arguments after the program name.
CtlCommandLine ParseCtlCommandLine(const std::vector<std::string>& arguments);

std::string CtlHelpText();
std::string CtlVersionText();

}  // namespace brinmoor
