#pragma once
// Text-level JSON helpers for brinmoorctl. They work on the characters, not
// on parsed values, so the members keep the order in which they were written.
#include <string>
#include <string_view>

namespace brinmoor {

// One member per line, indented by two blanks per level, ": " after each key.
// Meant for the compact status text of PORTS; any JSON text serves.
std::string PrettyJson(std::string_view json);

// Removes the blanks the server's reader skips (space, tab, line feed,
// carriage return) outside strings; one blank stays where two words would
// otherwise run together. Strings are copied byte for byte.
std::string MinifyJson(std::string_view json);

// Where the text breaks the rules of standard JSON, as "line L, column C:
// what"; empty when it is a single well-formed JSON value. The server's own
// reader is more forgiving, so such a text may still be read, only
// differently from what its author meant.
std::string StrictJsonProblem(std::string_view json);

// "line L, column C" of a byte position (both counted from 1).
std::string TextPosition(std::string_view text, std::size_t position);

}  // namespace brinmoor
