#pragma once
// The checks brinmoorctl makes on a CFG document before it sends it. The
// server answers every CFG with "CFG_OK;", whatever it could use of the
// document, so mistakes have to be caught here: a ";" that would cut the
// frame, text the server's reader rejects, member names it does not know,
// and values it quietly replaces by defaults.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor {

enum class CfgLevel { Warning, Error };

struct CfgFinding {
    CfgLevel level = CfgLevel::Error;
    std::string where;  // a member path such as "ext_groups/1/cat/baud", or a text position
    std::string text;
};

struct CfgCheck {
    std::vector<CfgFinding> findings;
    // "CFG", the document without blanks, ";": what goes on the wire. Empty
    // when an error was found.
    std::string frame;

    bool HasErrors() const;
};

// Errors: a ";" anywhere; text the server's reader rejects; a document that
// is not an object; a member name the server knows nowhere; a group key
// without a number (the server then starts no relays); a frame too long.
// Warnings: whatever the server reads otherwise than written, or ignores.
CfgCheck CheckCfgDocument(std::string_view text);

// "where: text" findings, one per line, each opened by "error" or "warning".
std::string FormatFindings(const std::vector<CfgFinding>& findings, std::string_view fileName);

}  // namespace brinmoor
