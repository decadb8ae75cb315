#pragma once
#include <string_view>

namespace brinmoor {

// True when the radio answers this command (given without its ";") with a
// message of its own; false for a set command, which it carries out silently.
// Case matters: "fa" is not a query.
bool IsCatQuery(std::string_view command);

}  // namespace brinmoor
