// The JSON reader takes whatever a client sends after "CFG" and whatever is in
// the saved file. Whatever the bytes, it ends with a value or with one of its
// own parse errors; anything else escaping, or any sanitizer report, is a
// fault. The readers built on it must take any value without failing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/text.h"
#include "config/json.h"

namespace {

using brinmoor::JsonValue;

bool IsParseError(const std::runtime_error& error) {
    const std::string_view message = error.what();
    return message == "expected '\"'" || message == "expected '{'" || message == "nesting too deep";
}

// Every member goes through the conversions the configuration readers use.
void Visit(const JsonValue& value) {
    (void)brinmoor::JsonToInt(value, 8);
    (void)brinmoor::JsonToFloat(value, 1.0f);
    (void)brinmoor::JsonText(value);
    for (const auto& [key, member] : value.members) {
        if (!brinmoor::JsonHasMember(value, key)) std::abort();
        if (&brinmoor::JsonMember(value, key) != &member) std::abort();
        Visit(member);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        Visit(brinmoor::ParseJsonDocument(text));
    } catch (const std::runtime_error& error) {
        if (!IsParseError(error)) std::abort();
    }

    // JsonEscape writes one line without control bytes; a text without
    // control bytes reads back unchanged.
    const std::string quoted = "\"" + brinmoor::JsonEscape(text) + "\"";
    if (brinmoor::HasControlByte(quoted)) std::abort();
    std::size_t position = 0;
    const std::string back = brinmoor::ParseJsonString(quoted, position);
    if (position != quoted.size()) std::abort();
    if (!brinmoor::HasControlByte(text) && back != text) std::abort();
    return 0;
}
