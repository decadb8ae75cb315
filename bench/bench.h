#pragma once
// The benchmark's pieces: what a measurement hands back (rows of the one
// table), simple statistics, and the raw descriptor work that times a round
// trip without any helper of its own in the way.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor::bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Verdict { Met, Missed, Info };

// One line of the table. "compared" is the difference or ratio to the
// baseline measured in the same run.
struct Row {
    std::string figure;  // "1", "3", ...
    std::string what;
    std::string measured;
    std::string baseline;
    std::string compared;
    std::string target;
    Verdict verdict = Verdict::Info;
};

// How long each measurement runs; --quick shortens everything for a trial.
struct Settings {
    bool quick = false;
    int latencySamples = 3000;
    milliseconds throughputWindow{4000};
    milliseconds idleWindow{10000};
    int keyingEdges = 400;
    int startups = 20;
    int idleClients = 200;
    milliseconds sharingWindow{2000};  // one round of one count of programs
};

// Reads that the simulator answers, one for each of up to eight programs
// that must not share an answer (none begins with "AG", which a TCP session
// takes as its own command).
inline constexpr std::string_view kDistinctReads[] = {"FA;", "FB;", "MD;", "FR;",
                                                      "FT;", "PC;", "NB;", "SQ0;"};

// --- statistics (microseconds or milliseconds, whatever the caller keeps) ---
struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};
Summary Summarise(std::vector<double> samples);
std::string Fixed(double value, int decimals);
// With its sign always shown: "+0.12", "-3".
std::string Signed(double value, int decimals);
Verdict Check(bool met);

// The server writes its progress lines to standard output; while a figure
// runs the server in process they would land in the middle of the table, so
// they go nowhere while one of these lives.
class QuietStdout {
  public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved = -1;
};

// --- descriptors ---
// A terminal path opened raw for this process (the simulator's side stays
// with the simulator).
int OpenRawTerminal(const std::string& path);
// A blocking loopback TCP connection with Nagle off; -1 on failure.
int ConnectLoopback(std::uint16_t port);
bool WriteAll(int fd, std::string_view bytes);
// Reads until the buffer holds a ";"; moves everything up to it (included)
// into reply. False on time-out, end or error.
bool ReadReply(int fd, std::string& buffer, std::string& reply, milliseconds timeout);
// Writes the command and reads one reply: the time in microseconds, or
// nothing when no reply starting with expectPrefix came within a second.
std::optional<double> TimedExchange(int fd, std::string& buffer, std::string_view command,
                                    std::string_view expectPrefix);
void CloseFd(int& fd);

// --- the server process, seen from /proc (procstats/proc_stats.h has the
// rest) ---
// Context switches (voluntary and not) of every live thread: how often the
// process woke up.
std::optional<long> ThreadSwitches(pid_t pid);
// CPU time of every live thread in seconds, from the scheduler's own count
// (schedstat, in nanoseconds): the clock the bare wake-ups are timed with.
// The utime and stime of /proc/PID/stat are sampled at 10-ms ticks, which
// is too coarse for a process that runs 20 us at a time.
std::optional<double> ThreadRunSeconds(pid_t pid);
// CPU time of every thread of pid (% of one core) and its wake-ups a second
// over a window this thread sleeps through; `ownWakeups` of them are the
// measuring thread's own and left out.
struct ThreadCost {
    double percent = 0;
    double wakeupsPerS = 0;
};
std::optional<ThreadCost> MeasureThreadCost(pid_t pid, std::chrono::milliseconds window,
                                            long ownWakeups = 0);

// One sample list per path, taken round by round: one "FA;" exchange on
// every path, the order rotated each round, so that all paths see the same
// moments of a shared machine.
struct Interleaved {
    std::vector<std::vector<double>> samples;
    int failures = 0;
};
Interleaved Interleave(const std::vector<int>& fds, int samples);

// --- the measurements; each appends its rows ---
void MeasureLatency(const Settings& settings, std::vector<Row>& rows);   // 1, 2, 3
void MeasureKeying(const Settings& settings, std::vector<Row>& rows);    // 4
void MeasureIdleCost(const Settings& settings, std::vector<Row>& rows);  // 5
void MeasureMemory(const Settings& settings, std::vector<Row>& rows);    // 6
void MeasureStartUp(const Settings& settings, std::vector<Row>& rows);   // 7
// 8 (same reads, app groups), 9 (same reads, TCP), 10 (distinct reads).
void MeasureSharing(const Settings& settings, std::vector<Row>& rows, bool same, bool tcp,
                    bool distinct);
void MeasureEndpointLatency(const Settings& settings, std::vector<Row>& rows);  // 11
void MeasureCwTiming(const Settings& settings, std::vector<Row>& rows);         // 12
void MeasureKeyingIdle(const Settings& settings, std::vector<Row>& rows);       // 13
// 14, 15 (reports to a listening group and the radio's IF load), 16, 17
// (STATUS with ten groups, brinmoorctl watch's CPU).
void MeasureStatus(const Settings& settings, std::vector<Row>& rows, bool reports, bool status);

}  // namespace brinmoor::bench
