#pragma once
// The CAT port's settings kept between runs in brinmoor.json.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brinmoor {

// The executable's directory: its path up to the last separator (the whole
// path when there is none).
std::string ExecutableDirectory();

// ExecutableDirectory, a separator and "brinmoor.json".
std::string ConfigFilePath();

// The whole file, or an empty text when it cannot be read.
std::string LoadSavedConfigText(const std::string& path);
// The whole file as bytes, or nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& path);

// The nine lines of the saved file, each ended by the given line break.
std::string SavedConfigText(std::string_view port, std::int32_t baud, std::string_view byteSizeText,
                            std::string_view parityName, std::string_view stopBitsText,
                            std::string_view lineBreak);

// Replaces the file atomically; on failure says so on standard error and
// leaves the old file as it was.
void SaveCatConfig(const std::string& path, std::string_view port, std::int32_t baud,
                   std::string_view byteSizeText, std::string_view parityName,
                   std::string_view stopBitsText);

}  // namespace brinmoor
