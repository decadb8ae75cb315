#include "config/saved_config.h"

#include <fstream>
#include <initializer_list>
#include <sstream>

#include "common/log.h"
#include "config/json.h"
#include "platform/files.h"

namespace brinmoor {

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const std::size_t separator = path.rfind(PathSeparator());
    return separator == std::string::npos ? path : path.substr(0, separator);
}

std::string ConfigFilePath() {
    return ExecutableDirectory() + PathSeparator() + "brinmoor.json";
}

std::string LoadSavedConfigText(const std::string& path) {
    // Read as bytes: a carriage return is a JSON blank, so either line break reads.
    return ReadFileBytes(path).value_or("");
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string SavedConfigText(std::string_view port, std::int32_t baud, std::string_view byteSizeText,
                            std::string_view parityName, std::string_view stopBitsText,
                            std::string_view lineBreak) {
    std::string text;
    const auto line = [&text, lineBreak](std::initializer_list<std::string_view> pieces) {
        for (std::string_view piece : pieces) text += piece;
        text += lineBreak;
    };
    // The port name is escaped so that a '"' or '\' in it reads back unchanged.
    const std::string escapedPort = JsonEscape(port);
    const std::string baudText = std::to_string(baud);
    line({"{"});
    line({"  \"cat\": {"});
    line({"    \"port\": \"", escapedPort, "\","});
    line({"    \"baud\": ", baudText, ","});
    line({"    \"bytesize\": \"", byteSizeText, "\","});
    line({"    \"parity\": \"", parityName, "\","});
    line({"    \"stopbits\": \"", stopBitsText, "\""});
    line({"  }"});
    line({"}"});
    return text;
}

void SaveCatConfig(const std::string& path, std::string_view port, std::int32_t baud,
                   std::string_view byteSizeText, std::string_view parityName,
                   std::string_view stopBitsText) {
    const std::string text =
        SavedConfigText(port, baud, byteSizeText, parityName, stopBitsText, TextLineBreak());
    if (!WriteFileAtomically(path, text)) {
        LogErr("[brinmoor] Could not save config to " + path + "\n");
    }
}

}  // namespace brinmoor
