#pragma once
// What brinmoorctl knows of the server's protocol: which frames the server
// keeps for itself, and how its replies read to a person.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor {

// The control command the server takes this frame (without ";") for, such as
// "AG" for "AG0"; empty when the frame goes to the radio. Frames that begin
// with AG never reach the radio, nor do PT and CK followed by anything.
std::string_view ControlCommandOf(std::string_view frame);

// The CAT commands of the "cat" arguments: each argument may hold several
// commands separated by ";"; blanks around a command are dropped, letters
// upper-cased (the radio knows its commands in upper case only), empty ones
// skipped. "fa; if" gives FA and IF.
std::vector<std::string> SplitCatCommands(const std::vector<std::string>& arguments);

// A PW reply (without ";") in words: "transmitting, 45 W", "receiving, set
// 100 W"; nothing when it is no PW reply.
std::optional<std::string> DescribePower(std::string_view reply);

}  // namespace brinmoor
