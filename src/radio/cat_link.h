#pragma once
// The server's one connection to the radio's CAT port. CatTransaction is the
// single road to the radio: one command at a time under the link's lock, a
// query waits for the radio's answer (with one retry), a set command does not.
// Callers take turns in the order they asked. A query shares its answer with
// every caller that waits for the same query text when it is written: they
// take its answer (or its failure) without a transaction of their own.
// Commands and replies are handled without their ";". The link learns the
// radio's dialect from any answer to "ID" and forgets it at every (re)open,
// at an answer to "ID" it cannot read, and when one of the server's own
// queries gets no answer that fits the dialect: another radio may be there.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "radio/radio_dialect.h"
#include "radio/radio_state.h"
#include "radio/serial_port.h"

namespace brinmoor {

inline constexpr int kCatReplyIdleMs = 500;        // silence that ends a reply
inline constexpr int kCatRetryPauseMs = 50;        // pause before the second attempt
inline constexpr std::size_t kMaxCatReply = 4096;  // a longer reply is cut here
// Auto-information reports skipped while one query waits; past this many the
// attempt fails, so a chattering radio cannot hold the link for ever.
inline constexpr int kMaxSkippedReports = 8;
// How often a lost CAT port is tried again.
inline constexpr int kCatReopenMs = 2000;
// The longest a query waits, before its turn, for the callers that the last
// transaction answered to ask again (never longer than a quarter of that
// transaction): programs polling the same reads then keep sharing them.
inline constexpr std::chrono::microseconds kCatRegatherWait{2000};
// How often the server asks "ID" while the radio is unidentified, and while
// it is identified (a radio swapped behind an open port).
inline constexpr int kIdentifyPollMs = 3000;
inline constexpr int kIdentifyCheckMs = 30000;

class CatLink;

// What one transaction gave its caller. The link classifies the command once,
// in the dialect of the moment it is written: a read waits for the answer, a
// set command does not.
struct CatReply {
    std::string answer;  // a read: the answer, "?" (none), or empty (port closed)
    bool read = false;   // false: a set command, written or dropped; answer empty
    bool shared = false;   // answered by another caller's identical query
    bool refused = false;  // a set command dropped: the caller had no right to change the radio
};
inline const CatReply kRefusedCatReply{{}, false, false, true};

// What the link has done since it was made, and who is at it now.
struct CatTraffic {
    std::uint64_t commandsWritten = 0;  // writes to the radio, a second attempt included
    std::uint64_t answersShared = 0;    // callers answered by another caller's query
    std::size_t callers = 0;            // in the queue: being served or waiting their turn
};

// A relay's right to change the radio: its set commands are written only
// while the active app (kept by the relay layer) is its group, looked at once
// the link's lock is taken, right before the write. The default allows all.
struct ChangeRight {
    const std::atomic<std::int32_t>* activeGroup = nullptr;
    std::int32_t group = 0;

    bool Holds() const { return activeGroup == nullptr || activeGroup->load() == group; }
};

// Brings a lost CAT port back: a thread of its own, started by the first
// loss, tries the link's remembered settings every kCatReopenMs until the
// port opens, new settings replace them, or the link closes. It never holds
// the link's lock while it waits.
class CatReopener {
  public:
    explicit CatReopener(CatLink& link) : link(link) {}
    ~CatReopener();  // Stop
    CatReopener(const CatReopener&) = delete;
    CatReopener& operator=(const CatReopener&) = delete;

    // The port was lost: begin trying, starting the thread the first time.
    void Begin();
    // Ends the thread and waits for it; Begin then does nothing until Rearm.
    void Stop();
    void Rearm();

  private:
    void Loop();

    CatLink& link;
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    std::uint64_t requested = 0;  // losses reported so far
    bool stopped = false;
};

class CatLink {
  public:
    CatLink() = default;
    ~CatLink();  // ends the reopen attempts
    CatLink(const CatLink&) = delete;
    CatLink& operator=(const CatLink&) = delete;

    // Keeps the port when it is open with exactly these settings; otherwise
    // (re)opens it. When that fails, a port that was open is opened again
    // with the remembered settings, which stay as they were. Settings other
    // than the remembered ones end the attempts to bring back a lost port.
    bool OpenIfChanged(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                       char parity, float stopBits);

    // For a read, the answer is empty when the port is closed or closing, "?"
    // for no usable answer in two attempts, and otherwise the radio's
    // answer without its ";": the first message that
    // begins with the command's two-letter code (other messages are the radio's
    // own reports and are skipped), or such a message cut short by 500 ms of
    // silence or by kMaxCatReply bytes.
    // A read or write that finds the device gone (not mere silence) closes
    // the port, logs the loss once, returns empty and starts the reopener.
    // A set command is written only while the right holds: a caller without
    // it is turned away at once, and it is looked at again when the turn
    // comes. While the radio is unidentified only what reads in every dialect
    // is a read.
    // Callers are served in the order they called. A caller still waiting
    // when an earlier caller's identical query is written takes that
    // transaction's result (the answer, "?" or empty) without one of its own;
    // a caller that comes after the write has its own. Set commands are never
    // shared.
    CatReply CatTransaction(std::string_view command, ChangeRight right = {});

    // The server's own query: written only while the radio is identified as
    // speaking this dialect and the command is a query in it; otherwise empty
    // at once. It shares another caller's identical query only under the
    // same condition. It is written once, not retried: an answer that is
    // missing or does not fit the dialect makes the link forget the dialect
    // (IdentifyDue then says so at once) and gives empty.
    std::string OwnQuery(std::string_view command, RadioDialect dialect);

    // Whether the server should ask "ID" now: at once after the dialect was
    // forgotten, every kIdentifyPollMs while unidentified and every
    // kIdentifyCheckMs while identified, counted from the last "ID" written.
    bool IdentifyDue() const;
    // Asks "ID". When the server's own "TX" went out since the last answer
    // to "ID" and the radio turns out to speak the three-digit dialect (where
    // "TX;" keys it), "RX;" follows at once.
    void Identify();

    // Unknown until the radio answers "ID" on this opening.
    RadioDialect Dialect() const { return dialect.load(); }

    CatTraffic Traffic();

    // What the traffic on this link has told of the radio.
    RadioState& State() { return radio; }

    // Ends the reopen attempts and waits for them, then drops DTR and RTS,
    // closes the port, forgets the port name and baud. A transaction in
    // flight gives up at its next read (returning empty), and the ones queued
    // behind it return empty at once.
    void Close();

    bool IsOpen();
    std::string PortName();

  private:
    friend class CatReopener;
    friend void AnnounceRadioId(CatLink& link, const std::string& portName);
    enum class Reopen { Reopened, StillGone, NotWanted };

    // One caller waiting for its turn, on its own stack.
    struct Caller {
        Caller(std::string_view command, const RadioDialect* only) : command(command), only(only) {}
        std::string_view command;
        const RadioDialect* only;  // the server's own query: this dialect only
        std::condition_variable turn;
        bool answered = false;  // by another caller's transaction: result holds it
        CatReply result;
    };

    // Takes a turn in arrival order, then runs the one transaction, or returns
    // the answer of the caller it shared. `only` limits it to the server's own
    // queries in that dialect. A line to log about the radio's identity is
    // left in note (logged by the caller once the lock is released).
    CatReply Transact(std::string_view command, ChangeRight right, const RadioDialect* only,
                      std::string& note);
    // The transaction itself, under lock; riders gets the callers that share it.
    CatReply TransactLocked(std::string_view command, ChangeRight right, const RadioDialect* only,
                            std::string& note, std::vector<Caller*>& riders);
    // Right before a query is first written: the callers waiting for the same
    // text leave the queue to take its answer.
    void TakeRiders(std::string_view command, RadioDialect spoken, std::vector<Caller*>& riders);
    // Gives the riders the result and the turn to the next caller.
    void EndTurn(Caller& self, std::vector<Caller*>& riders, const CatReply& result,
                 std::chrono::steady_clock::time_point began);
    void NoteIdentityLocked(std::string_view answer, std::string& note);
    // The radio did not answer the server's query as a radio of the known
    // dialect does: unidentified, and "ID" is due at once.
    void ForgetDialect(RadioDialect known, std::string_view query);
    void ForgetRadioLocked();                 // under lock: a new opening, unidentified
    static std::int64_t NowMs();  // the steady clock in ms, for idAskedAt
    void LoseLocked();                        // under lock: the device has gone
    Reopen TryReopen(std::string& reopened);  // the reopener's one attempt

    SerialPort port;
    std::mutex lock;
    std::string portName;
    std::uint32_t baud = 0;
    std::uint32_t byteSize = 0;
    char parity = 0;
    float stopBits = 0.0f;
    std::atomic<bool> closing{false};  // set by Close before it waits for the lock
    bool lost = false;                 // under lock: the port went away, reopen it
    std::atomic<RadioDialect> dialect{RadioDialect::Unknown};  // set under lock
    bool strangeIdSaid = false;   // under lock: an unreadable ID answer was logged
    bool lastIdUnreadable = false;                       // under lock
    RadioDialect loggedDialect = RadioDialect::Unknown;  // under lock: last one logged
    std::atomic<bool> identifyNow{false};    // the dialect was forgotten: ask "ID" at once
    std::atomic<std::int64_t> idAskedAt{0};  // steady clock, ms: the last "ID" written
    std::atomic<bool> ownTxWritten{false};   // the server's "TX;" went out, unanswered by "ID"
    std::atomic<bool> misfitSaid{false};     // logged; cleared by the next fitting answer
    // The callers in arrival order; the first one holds the turn. Taken after
    // lock when both are held, and never held while waiting for lock.
    std::mutex queueMutex;
    std::vector<Caller*> queue;
    // The callers the last transaction answered, less those that asked since,
    // and how long the next query waits for them.
    std::size_t returnsDue = 0;
    std::chrono::steady_clock::time_point regatherUntil;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> shared{0};
    RadioState radio;             // fed with every message the radio sends
    CatReopener reopener{*this};  // last: stopped before the rest goes
};

// Asks the radio for "ID" and logs who answered, or a warning when nobody did.
void AnnounceRadioId(CatLink& link, const std::string& portName);

}  // namespace brinmoor
