// The log file of a server without a console (the Windows service): each
// line time-stamped, the file kept under its limit with one older file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "common/log.h"

namespace brinmoor {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(LogFileTest, LinesAreStampedAndTheFileIsKeptUnderItsLimit) {
    const auto folder = std::filesystem::temp_directory_path() / "brinmoor-log-file-test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto path = folder / "brinmoor.log";
    const auto older = folder / "brinmoor.old.log";
    // A stamped line is 20 + 15 bytes; three fit under 120.
    ASSERT_TRUE(SetLogFile(path.string(), older.string(), 120));
    for (int i = 1; i <= 5; ++i) LogOut("[test] line " + std::to_string(i) + "\n");
    LogErr("[test] error 6\n");
    ASSERT_TRUE(SetLogFile("", "", 0));

    const std::regex stamped(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[test\] \w+ \d\n)+)");
    const std::string current = ReadAll(path), before = ReadAll(older);
    EXPECT_TRUE(std::regex_match(current, stamped)) << current;
    EXPECT_TRUE(std::regex_match(before, stamped)) << before;
    // Lines 1 to 3 filled the first file; line 4 began the next.
    EXPECT_EQ(before.find("[test] line 1"), 20u) << before;
    EXPECT_EQ(before.find("line 4"), std::string::npos) << before;
    EXPECT_EQ(current.find("[test] line 4"), 20u) << current;
    EXPECT_NE(current.find("[test] error 6\n"), std::string::npos) << current;
    EXPECT_LE(current.size(), 120u);
    EXPECT_FALSE(SetLogFile((folder / "missing" / "x.log").string(), "", 1))
        << "a folder that is not there";
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace brinmoor
