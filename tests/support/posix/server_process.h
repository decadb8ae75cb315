#pragma once
// The real programs as the system tests run them: brinmoor copied into a
// folder of its own (so its brinmoor.json is its own), and the radio
// simulator on a pseudo-terminal, steered through its control lines.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/posix/process.h"

namespace brinmoor::test {

using std::chrono::milliseconds;

inline const std::string kServerBinary = BRINMOOR_BINARY_DIR "/src/brinmoor";
inline const std::string kRadioSimBinary = BRINMOOR_BINARY_DIR "/tools/radiosim/brinmoor-radiosim";

class ServerProcess {
  public:
    // Makes the folder and copies the binary into it; nothing runs yet.
    ServerProcess();
    ~ServerProcess();  // stops the server if it still runs, removes the folder
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // A program that starts the server ("nohup"): argv is launcher + server.
    std::vector<std::string> launcher;

    const std::filesystem::path& Folder() const { return folder; }
    std::string SavedFile() const { return (folder / "brinmoor.json").string(); }

    // Runs the copied binary with exactly these arguments. A server object
    // may run the binary again once the last run has ended (same folder);
    // the lines seen start afresh.
    bool Start(const std::vector<std::string>& arguments);
    // Runs it on a free loopback port (--bind 127.0.0.1 --port N plus the
    // extra arguments) and waits for its "Listening" line.
    bool StartListening(const std::vector<std::string>& extra = {});
    std::uint16_t Port() const { return port; }

    // Waits for a line of standard output or error that contains the text and
    // comes after the line the last wait found; every line read is kept in
    // OutLines / ErrLines.
    std::optional<std::string> WaitOut(std::string_view text,
                                       milliseconds timeout = milliseconds(5000));
    std::optional<std::string> WaitErr(std::string_view text,
                                       milliseconds timeout = milliseconds(5000));
    // Collects the lines that are complete within the time.
    void DrainOutput(milliseconds timeout = milliseconds(200));
    const std::vector<std::string>& OutLines() const { return outLines; }
    const std::vector<std::string>& ErrLines() const { return errLines; }

    // The exit code once the process has ended, or nothing after the time-out.
    std::optional<int> Wait(milliseconds timeout = milliseconds(5000));
    ChildProcess& Process() { return *process; }

  private:
    std::filesystem::path folder;
    std::unique_ptr<ChildProcess> process = std::make_unique<ChildProcess>();
    std::uint16_t port = 0;
    std::vector<std::string> outLines;
    std::vector<std::string> errLines;
    std::size_t outCursor = 0;  // lines before it were passed by a wait
    std::size_t errCursor = 0;
};

// brinmoor-radiosim; its standard error (the --log lines) is captured.
class RadioSim {
  public:
    RadioSim() = default;
    ~RadioSim();
    RadioSim(const RadioSim&) = delete;
    RadioSim& operator=(const RadioSim&) = delete;

    // Starts it with the options and reads the terminal path it prints first.
    bool Start(const std::vector<std::string>& options = {});
    const std::string& Path() const { return path; }
    ChildProcess& Process() { return process; }

    // One control line ("tx on", "meter 200", "silent on"); true on "ok".
    bool Control(const std::string& line);
    // The commands it has received so far.
    std::optional<long long> CommandCount();

    // Waits for a --log line on standard error that contains the text.
    std::optional<std::string> WaitLog(std::string_view text, milliseconds timeout);
    // The --log lines that arrive within the time.
    std::vector<std::string> LogLines(milliseconds timeout = milliseconds(200));

  private:
    ChildProcess process;
    std::string path;
};

// A CFG frame that puts the CAT port on the given device.
std::string CatCfg(const std::string& device, const std::string& more = "");

// A file's bytes (the saved file, say); empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace brinmoor::test
