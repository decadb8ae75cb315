#include "config/saved_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "config/json.h"
#include "config/port_settings.h"
#include "platform/files.h"

namespace brinmoor {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

std::vector<std::string> Entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SavedConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        directory_ = fs::temp_directory_path() / ("brinmoor-saved-config-" + std::to_string(now) +
                                                  "-" + std::to_string(counter.fetch_add(1)));
        ASSERT_TRUE(fs::create_directories(directory_));
        SetLogObserver([this](LogStream stream, std::string_view line) {
            std::lock_guard<std::mutex> guard(mutex_);
            (stream == LogStream::Err ? errors_ : output_).emplace_back(line);
        });
    }

    void TearDown() override {
        SetLogObserver({});
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    std::vector<std::string> Errors() {
        std::lock_guard<std::mutex> guard(mutex_);
        return errors_;
    }

    std::vector<std::string> Output() {
        std::lock_guard<std::mutex> guard(mutex_);
        return output_;
    }

    std::string Path(const char* name) const { return (directory_ / name).string(); }

    fs::path directory_;
    std::mutex mutex_;
    std::vector<std::string> errors_;
    std::vector<std::string> output_;
};

std::string ExpectedFile(const std::string& port, const std::string& baud,
                         const std::string& bytesize, const std::string& parity,
                         const std::string& stopbits) {
    const std::string br(TextLineBreak());
    return "{" + br + "  \"cat\": {" + br + "    \"port\": \"" + port + "\"," + br +
           "    \"baud\": " + baud + "," + br + "    \"bytesize\": \"" + bytesize + "\"," + br +
           "    \"parity\": \"" + parity + "\"," + br + "    \"stopbits\": \"" + stopbits + "\"" +
           br + "  }" + br + "}" + br;
}

TEST(SavedConfigText, NineLinesInTheFixedLayout) {
    EXPECT_EQ(SavedConfigText("COM3", 38400, "8", "none", "1", "\r\n"),
              "{\r\n"
              "  \"cat\": {\r\n"
              "    \"port\": \"COM3\",\r\n"
              "    \"baud\": 38400,\r\n"
              "    \"bytesize\": \"8\",\r\n"
              "    \"parity\": \"none\",\r\n"
              "    \"stopbits\": \"1\"\r\n"
              "  }\r\n"
              "}\r\n");
    EXPECT_EQ(SavedConfigText("com7", -5, "7", "even", "1.5", "\n"),
              "{\n  \"cat\": {\n    \"port\": \"com7\",\n    \"baud\": -5,\n"
              "    \"bytesize\": \"7\",\n    \"parity\": \"even\",\n"
              "    \"stopbits\": \"1.5\"\n  }\n}\n");
}

TEST_F(SavedConfigTest, SaveWritesTheLayoutAndReadsBackTheSameSettings) {
    const std::string path = Path("brinmoor.json");
    SaveCatConfig(path, "COM3", 38400, "8", "none", "1");
    EXPECT_EQ(ReadBytes(path), ExpectedFile("COM3", "38400", "8", "none", "1"));
    EXPECT_EQ(LoadSavedConfigText(path), ReadBytes(path));
    EXPECT_TRUE(Errors().empty());
    EXPECT_TRUE(Output().empty());

    // Every combination the writer produces reads back through the entry rules.
    PortSettings written;
    written.port = "/dev/ttyUSB1";
    written.baud = 115200;
    for (int bytesize : {5, 7, 8}) {
        for (char parity : {'N', 'E', 'O', 'M', 'S'}) {
            for (float stopbits : {1.0f, 1.5f, 2.0f}) {
                SaveCatConfig(path, written.port, written.baud, std::to_string(bytesize),
                              ParityName(parity), StopBitsText(stopbits));
                const JsonValue doc = ParseJsonDocument(LoadSavedConfigText(path));
                const PortSettings read = PortSettingsFromJson(JsonMember(doc, "cat"), 38400);
                EXPECT_EQ(read.port, written.port);
                EXPECT_EQ(read.baud, written.baud);
                EXPECT_EQ(read.bytesize, bytesize);
                EXPECT_EQ(read.parity, parity);
                EXPECT_EQ(read.stopbits, stopbits);
            }
        }
    }
    // Only the file itself is left: no temporary files beside it.
    EXPECT_EQ(Entries(directory_), std::vector<std::string>{"brinmoor.json"});
}

TEST_F(SavedConfigTest, SaveReplacesALongerFileWhole) {
    const std::string path = Path("brinmoor.json");
    WriteBytes(path, std::string(4096, 'x') + "\n{\"cat\":{\"port\":\"COM99\"}}\n");
    SaveCatConfig(path, "COM1", 9600, "8", "odd", "2");
    EXPECT_EQ(ReadBytes(path), ExpectedFile("COM1", "9600", "8", "odd", "2"));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SavedConfigTest, PortNamesWithQuotesAndBackslashesReadBackUnchanged) {
    const std::string path = Path("brinmoor.json");
    for (const std::string& port : {std::string("\\\\.\\COM10"), std::string("CO\"M3"),
                                    std::string("a\\\"b\\"), std::string("\"")}) {
        SaveCatConfig(path, port, 38400, "8", "none", "1");
        EXPECT_EQ(ReadBytes(path), ExpectedFile(JsonEscape(port), "38400", "8", "none", "1"));
        const JsonValue doc = ParseJsonDocument(LoadSavedConfigText(path));
        EXPECT_EQ(JsonMember(JsonMember(doc, "cat"), "port").text, port);
        EXPECT_EQ(JsonMember(JsonMember(doc, "cat"), "baud").number, 38400.0);
    }
}

TEST_F(SavedConfigTest, FailedSaveLeavesEverythingAsItWasAndSaysSo) {
    // The directory does not exist.
    const std::string missing = (directory_ / "no-such-dir" / "brinmoor.json").string();
    SaveCatConfig(missing, "COM3", 38400, "8", "none", "1");
    EXPECT_FALSE(fs::exists(directory_ / "no-such-dir"));

    // The path is a directory with something in it.
    const fs::path occupied = directory_ / "occupied";
    fs::create_directories(occupied);
    WriteBytes(occupied / "keep.txt", "old");
    SaveCatConfig(occupied.string(), "COM3", 38400, "8", "none", "1");
    EXPECT_TRUE(fs::is_directory(occupied));
    EXPECT_EQ(Entries(occupied), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(ReadBytes(occupied / "keep.txt"), "old");

    EXPECT_EQ(Errors(), (std::vector<std::string>{
                            "[brinmoor] Could not save config to " + missing + "\n",
                            "[brinmoor] Could not save config to " + occupied.string() + "\n"}));
    EXPECT_TRUE(Output().empty());
    // No temporary file is left behind.
    EXPECT_EQ(Entries(directory_), std::vector<std::string>{"occupied"});
}

TEST_F(SavedConfigTest, AtomicWriteKeepsTheOldFileWhenTheMoveFails) {
    const fs::path target = directory_ / "target";
    fs::create_directories(target / "inside");
    EXPECT_FALSE(WriteFileAtomically(target.string(), "new"));
    EXPECT_TRUE(fs::is_directory(target / "inside"));

    const std::string file = Path("file.txt");
    ASSERT_TRUE(WriteFileAtomically(file, "first"));
    ASSERT_TRUE(WriteFileAtomically(file, ""));
    EXPECT_EQ(ReadBytes(file), "");
    const std::string binary("a\0b\r\n\xff", 6);
    ASSERT_TRUE(WriteFileAtomically(file, binary));
    EXPECT_EQ(ReadBytes(file), binary);
    EXPECT_EQ(Entries(directory_), (std::vector<std::string>{"file.txt", "target"}));
}

TEST_F(SavedConfigTest, LoadReadsTheWholeFileOrNothing) {
    EXPECT_EQ(LoadSavedConfigText(Path("absent.json")), "");
    EXPECT_EQ(LoadSavedConfigText(directory_.string()), "");

    const std::string path = Path("brinmoor.json");
    const std::string handWritten =
        "{\r\n\"cat\": {\"port\": \"COM3\", \"parity\": \"E\", \"stopbits\": 2}}\r\n";
    WriteBytes(path, handWritten);
    EXPECT_EQ(LoadSavedConfigText(path), handWritten);
    const PortSettings read =
        PortSettingsFromJson(JsonMember(ParseJsonDocument(handWritten), "cat"), 38400);
    EXPECT_EQ(ParityName(read.parity), "even");
    EXPECT_EQ(StopBitsText(read.stopbits), "2");
    EXPECT_TRUE(Errors().empty());
}

TEST(SavedConfigLocation, BesideTheExecutable) {
    const std::string executable = ExecutablePath();
    ASSERT_FALSE(executable.empty());
    EXPECT_TRUE(fs::is_regular_file(executable)) << executable;
    const std::string directory = ExecutableDirectory();
    EXPECT_EQ(fs::path(executable).parent_path(), fs::path(directory));
    EXPECT_EQ(executable.substr(0, directory.size() + 1), directory + PathSeparator());
    EXPECT_EQ(ConfigFilePath(), directory + PathSeparator() + "brinmoor.json");
}

}  // namespace
}  // namespace brinmoor
