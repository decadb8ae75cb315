#include "json_text.h"

#include <cstddef>

namespace brinmoor {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Characters that make up a number or a literal.
bool IsWordChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '+' || c == '-' || c == '_';
}

// Copies a string starting at its opening quote, the way the server's reader
// takes it: a backslash takes the next byte literally. Returns the position
// past the closing quote (or the end of the text).
std::size_t CopyString(std::string_view text, std::size_t at, std::string& out) {
    out.push_back(text[at++]);
    while (at < text.size()) {
        const char c = text[at++];
        out.push_back(c);
        if (c == '\\' && at < text.size()) {
            out.push_back(text[at++]);
        } else if (c == '"') {
            break;
        }
    }
    return at;
}

void NewLine(std::string& out, int depth) {
    out.push_back('\n');
    out.append(static_cast<std::size_t>(depth < 0 ? 0 : depth) * 2, ' ');
}

// A recursive-descent check of standard JSON; stops at the first problem.
class StrictChecker {
  public:
    explicit StrictChecker(std::string_view text) : text(text) {}

    std::string Check() {
        SkipBlanks();
        if (!Value(0)) return problem;
        SkipBlanks();
        if (at < text.size()) return Fail("text after the end of the document");
        return {};
    }

  private:
    static constexpr int kMaxDepth = 64;

    std::string Fail(std::string_view what) {
        if (problem.empty()) problem = TextPosition(text, at) + ": " + std::string(what);
        return problem;
    }
    bool Failed(std::string_view what) {
        Fail(what);
        return false;
    }

    void SkipBlanks() {
        while (at < text.size() && IsBlank(text[at])) ++at;
    }

    bool Value(int depth) {
        if (at >= text.size()) return Failed("the document ends where a value should follow");
        const char c = text[at];
        if (c == '{' || c == '[') {
            if (depth >= kMaxDepth) return Failed("nested too deeply");
            return c == '{' ? Object(depth + 1) : Array(depth + 1);
        }
        if (c == '"') return String();
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        for (std::string_view word : {"true", "false", "null"}) {
            if (text.substr(at, word.size()) == word) {
                at += word.size();
                return true;
            }
        }
        return Failed(std::string("unexpected character '") + c +
                      "' (texts need double quotes; numbers, true, false and null do not)");
    }

    bool Object(int depth) {
        ++at;  // {
        SkipBlanks();
        if (at < text.size() && text[at] == '}') {
            ++at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (at >= text.size()) return Failed("the document ends inside an object: '}' missing");
            if (text[at] != '"') return Failed("a member name in double quotes expected");
            if (!String()) return false;
            SkipBlanks();
            if (at >= text.size() || text[at] != ':') return Failed("':' expected after the name");
            ++at;
            SkipBlanks();
            if (!Value(depth)) return false;
            SkipBlanks();
            if (at >= text.size()) return Failed("the document ends inside an object: '}' missing");
            if (text[at] == '}') {
                ++at;
                return true;
            }
            if (text[at] != ',') return Failed("',' or '}' expected");
            ++at;
            SkipBlanks();
            if (at < text.size() && text[at] == '}') return Failed("a comma before '}'");
        }
    }

    bool Array(int depth) {
        ++at;  // [
        SkipBlanks();
        if (at < text.size() && text[at] == ']') {
            ++at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (!Value(depth)) return false;
            SkipBlanks();
            if (at >= text.size()) return Failed("the document ends inside a list: ']' missing");
            if (text[at] == ']') {
                ++at;
                return true;
            }
            if (text[at] != ',') return Failed("',' or ']' expected");
            ++at;
        }
    }

    bool String() {
        const std::size_t start = at;
        ++at;  // "
        while (at < text.size()) {
            const char c = text[at];
            if (c == '"') {
                ++at;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return Failed("a line break or control character inside a text");
            }
            if (c == '\\') {
                ++at;
                if (at >= text.size()) break;
                const char e = text[at];
                if (e == 'u') {
                    for (int i = 1; i <= 4; ++i) {
                        const char h = at + i < text.size() ? text[at + i] : '\0';
                        const bool hex = (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') ||
                                         (h >= 'A' && h <= 'F');
                        if (!hex) return Failed("\\u needs four hexadecimal digits");
                    }
                    at += 4;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return Failed(std::string("unknown escape '\\") + e + "'");
                }
            }
            ++at;
        }
        at = start;
        return Failed("a text that is never closed: '\"' missing");
    }

    bool Digits() {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at > start;
    }

    bool Number() {
        if (text[at] == '-') ++at;
        if (at < text.size() && text[at] == '0') {
            ++at;
        } else if (!Digits()) {
            return Failed("a digit expected");
        }
        if (at < text.size() && text[at] == '.') {
            ++at;
            if (!Digits()) return Failed("a digit expected after '.'");
        }
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
            ++at;
            if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
            if (!Digits()) return Failed("a digit expected in the exponent");
        }
        if (at < text.size() && IsWordChar(text[at])) {
            return Failed("a number runs into other characters");
        }
        return true;
    }

    std::string_view text;
    std::size_t at = 0;
    std::string problem;
};

}  // namespace

std::string TextPosition(std::string_view text, std::size_t position) {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < position && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string PrettyJson(std::string_view json) {
    std::string out;
    int depth = 0;
    std::size_t at = 0;
    while (at < json.size()) {
        const char c = json[at];
        if (c == '"') {
            at = CopyString(json, at, out);
            continue;
        }
        ++at;
        if (IsBlank(c)) continue;
        switch (c) {
            case '{':
            case '[': {
                std::size_t next = at;
                while (next < json.size() && IsBlank(json[next])) ++next;
                const char close = c == '{' ? '}' : ']';
                if (next < json.size() && json[next] == close) {
                    out.push_back(c);
                    out.push_back(close);
                    at = next + 1;
                } else {
                    out.push_back(c);
                    NewLine(out, ++depth);
                }
                break;
            }
            case '}':
            case ']':
                NewLine(out, --depth);
                out.push_back(c);
                break;
            case ',':
                out.push_back(c);
                NewLine(out, depth);
                break;
            case ':':
                out += ": ";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string MinifyJson(std::string_view json) {
    std::string out;
    std::size_t at = 0;
    bool skippedBlank = false;
    while (at < json.size()) {
        const char c = json[at];
        if (IsBlank(c)) {
            skippedBlank = true;
            ++at;
            continue;
        }
        if (skippedBlank && !out.empty() && IsWordChar(out.back()) && IsWordChar(c)) {
            out.push_back(' ');
        }
        skippedBlank = false;
        if (c == '"') {
            at = CopyString(json, at, out);
        } else {
            out.push_back(c);
            ++at;
        }
    }
    return out;
}

std::string StrictJsonProblem(std::string_view json) {
    return StrictChecker(json).Check();
}

}  // namespace brinmoor
