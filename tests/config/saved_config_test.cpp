// The saved CAT settings: the file's layout, that every setting the server
// writes reads back, and that a save replaces the file whole or not at all.
#include "config/saved_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/json.h"
#include "config/port_settings.h"
#include "platform/files.h"
#include "server/server_test_support.h"

namespace brinmoor {
namespace {

using servertest::ScratchFolder;
using Names = std::vector<std::string>;

// The "cat" entry of the saved file as the server reads it back.
PortSettings ReadBack(const std::string& path) {
    return PortSettingsFromJson(JsonMember(ParseJsonDocument(LoadSavedConfigText(path)), "cat"),
                                38400);
}

TEST(SavedConfig, NineLinesBesideTheExecutable) {
    EXPECT_EQ(SavedConfigText("CO\"M3", 38400, "8", "none", "1", "\r\n"),
              "{\r\n  \"cat\": {\r\n    \"port\": \"CO\\\"M3\",\r\n    \"baud\": 38400,\r\n"
              "    \"bytesize\": \"8\",\r\n    \"parity\": \"none\",\r\n    \"stopbits\": \"1\"\r\n"
              "  }\r\n}\r\n");
    const std::string directory = ExecutableDirectory();
    EXPECT_TRUE(std::filesystem::is_regular_file(ExecutablePath()));
    EXPECT_EQ(std::filesystem::path(ExecutablePath()).parent_path(), directory);
    EXPECT_EQ(ConfigFilePath(), directory + PathSeparator() + "brinmoor.json");
}

TEST(SavedConfig, EverySavedSettingReadsBackAndTheFileIsReplacedWhole) {
    ScratchFolder folder;
    servertest::LogCapture log;
    const std::string path = folder.File("brinmoor.json");
    ScratchFolder::Write(path, std::string(4096, 'x') + "{\"cat\":{\"port\":\"COM99\"}}");
    const char* ports[] = {"/dev/ttyUSB1", "\\\\.\\COM10", "a\\\"b\\", "CO\"M3"};
    int save = 0;
    for (char parity : {'N', 'E', 'O', 'M', 'S'}) {
        for (float stopbits : {1.0f, 1.5f, 2.0f}) {
            const std::string port = ports[save % 4];
            const int bytesize = save++ % 2 ? 5 : 8;
            SaveCatConfig(path, port, 115200, std::to_string(bytesize), ParityName(parity),
                          StopBitsText(stopbits));
            const PortSettings read = ReadBack(path);
            EXPECT_TRUE(read.port == port && read.baud == 115200 && read.bytesize == bytesize &&
                        read.parity == parity && read.stopbits == stopbits)
                << port << " " << parity << " " << stopbits;
        }
    }
    EXPECT_EQ(ScratchFolder::Read(path),
              SavedConfigText(ports[2], 115200, "8", "space", "2", TextLineBreak()));
    // No temporary file is left beside it, and nothing is logged.
    EXPECT_EQ(folder.Entries(), Names{"brinmoor.json"});
    EXPECT_TRUE(log.Out().empty() && log.Err().empty());
    EXPECT_EQ(LoadSavedConfigText(folder.File("absent.json")), "");
}

TEST(SavedConfig, AFailedSaveLeavesEverythingAsItWasAndSaysSo) {
    ScratchFolder folder;
    servertest::LogCapture log;
    const std::string missing = folder.File("no-such-dir/brinmoor.json");
    SaveCatConfig(missing, "COM3", 38400, "8", "none", "1");
    // The target is a directory with something in it: the move fails.
    const std::string occupied = folder.File("occupied");
    std::filesystem::create_directories(occupied);
    ScratchFolder::Write(folder.File("occupied/keep.txt"), "old");
    SaveCatConfig(occupied, "COM3", 38400, "8", "none", "1");
    EXPECT_EQ(ScratchFolder::Read(folder.File("occupied/keep.txt")), "old");
    EXPECT_EQ(log.Err(), (Names{"[brinmoor] Could not save config to " + missing + "\n",
                                "[brinmoor] Could not save config to " + occupied + "\n"}));
    EXPECT_EQ(folder.Entries(), Names{"occupied"});
}

}  // namespace
}  // namespace brinmoor
