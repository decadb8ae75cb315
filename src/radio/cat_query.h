#pragma once
// Whether a CAT command is a query, in the dialect the radio speaks.
#include <string_view>

#include "radio/radio_dialect.h"

namespace brinmoor {

// True when the radio answers this command (given without its ";") with a
// message of its own; false for a set command, which it carries out silently.
// Case matters: "fa" is not a query.
// Four-digit radios: a fixed table of reads.
// Three-digit radios: a bare two-letter code other than the set-only ones
// (TX RX UP DN RC RU RD VV SV BU BD QI CH SR), or one of the model's reads.
// Radios not identified yet: only what reads in both, the table's bare codes
// but TX, and AG0, SQ0 and SM0.
// When unsure it says "set": a blocked read only goes unanswered, while a
// forwarded set would change the radio.
bool IsCatQuery(std::string_view command, RadioDialect dialect);

}  // namespace brinmoor
