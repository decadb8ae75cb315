#include "radio/cat_link.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "common/log.h"
#include "radio/cat_query.h"

namespace brinmoor {
namespace {

enum class ReplyEnd { Answer, Failed, Closing, Lost };

// A tcp: name for the radio is a serial server to connect to; a lost
// connection is a lost port like any other.
const EndpointOptions kRadioEndpoint{.outgoing = true, .admits = {}, .told = {}};

struct Reply {
    ReplyEnd end = ReplyEnd::Failed;
    std::string text;
};

// A radio answers a query with a message that repeats the command's code, so
// anything else but its refusal "?" is a report it sent of its own accord.
bool IsAnswerTo(const std::string& message, std::string_view code) {
    return message.size() >= code.size() && message.compare(0, code.size(), code) == 0;
}

// Reads one attempt's answer a byte at a time, so that a closing link is
// noticed within one 50-ms read. Every whole message, report or answer,
// tells the radio's state.
Reply ReadReply(SerialPort& port, const std::atomic<bool>& closing, std::string_view code,
                RadioState& radio, RadioDialect spoken) {
    std::string message;
    int idleMs = 0;
    int skipped = 0;
    for (;;) {
        if (closing.load()) return {ReplyEnd::Closing, {}};
        const std::string byte = port.ReadCount(1, kSerialPollMs);
        if (port.DeviceGone()) return {ReplyEnd::Lost, {}};
        if (byte.empty()) {
            idleMs += kSerialPollMs;
            if (idleMs >= kCatReplyIdleMs) break;
            continue;
        }
        idleMs = 0;
        if (byte[0] != ';') {
            message += byte[0];
            if (message.size() >= kMaxCatReply) break;
            continue;
        }
        // An empty message or the radio's "?" is a refusal: this attempt failed.
        if (message.empty() || message == "?") return {ReplyEnd::Failed, {}};
        radio.NoteMessage(message, spoken);
        if (IsAnswerTo(message, code)) return {ReplyEnd::Answer, std::move(message)};
        if (++skipped >= kMaxSkippedReports) return {ReplyEnd::Failed, {}};
        message.clear();
    }
    // Silence or the length bound without ";": a piece of the answer is kept
    // as received, a piece of anything else is dropped.
    if (IsAnswerTo(message, code)) return {ReplyEnd::Answer, std::move(message)};
    return {ReplyEnd::Failed, {}};
}

}  // namespace

bool CatLink::OpenIfChanged(const std::string& name, std::uint32_t newBaud, std::uint32_t dataBits,
                            char newParity, float newStopBits) {
    std::lock_guard<std::mutex> guard(lock);
    const bool same = name == portName && newBaud == baud && dataBits == byteSize &&
                      newParity == parity && newStopBits == stopBits;
    if (port.IsOpen() && same) return true;
    // Other settings replace the lost port's; the same ones keep it wanted
    // should this open fail too.
    if (!same) lost = false;
    const bool wasOpen = port.IsOpen();
    if (!port.Open(name, newBaud, dataBits, newParity, newStopBits, kRadioEndpoint)) {
        // The radio stays served: the port that worked goes back to its settings.
        if (wasOpen) port.Open(portName, baud, byteSize, parity, stopBits, kRadioEndpoint);
        return false;
    }
    lost = false;
    ForgetRadioLocked();  // another radio may answer on this opening
    // The server's TX; that went out on another port keyed nothing here.
    if (name != portName) ownTxWritten.store(false);
    radio.NoteLink(RadioLinkState::Open, name);
    portName = name;
    baud = newBaud;
    byteSize = dataBits;
    parity = newParity;
    stopBits = newStopBits;
    return true;
}

CatReply CatLink::CatTransaction(std::string_view command, ChangeRight right) {
    std::string note;
    CatReply reply = Transact(command, right, nullptr, note);
    if (!note.empty()) LogOut(note);
    return reply;
}

std::string CatLink::OwnQuery(std::string_view command, RadioDialect only) {
    std::string note;
    std::string answer = Transact(command, {}, &only, note).answer;
    if (!note.empty()) LogOut(note);
    if (answer.empty()) return answer;  // not written, or the port went
    if (!AnswerFits(only, command, answer)) {
        ForgetDialect(only, command);
        return {};
    }
    // A radio that reads "TX;" answered it: nothing was keyed.
    if (command == "TX") ownTxWritten.store(false);
    misfitSaid.store(false);
    return answer;
}

CatReply CatLink::Transact(std::string_view command, ChangeRight right, const RadioDialect* only,
                           std::string& note) {
    Caller self{command, only};
    // A first look, for the queue only: a set command without the right to
    // change the radio is turned away at once, and a read waits for callers
    // to share it. The class that counts is the one taken at the write.
    const bool query = IsCatQuery(command, dialect.load());
    if (!query && !right.Holds()) return kRefusedCatReply;
    {
        std::unique_lock<std::mutex> guard(queueMutex);
        queue.push_back(&self);
        if (returnsDue > 0 && --returnsDue == 0) queue.front()->turn.notify_one();
        self.turn.wait(guard, [&] { return self.answered || queue.front() == &self; });
        if (self.answered) {
            self.result.shared = true;
            return std::move(self.result);
        }
        // Programs polling the same reads get their answers together and ask
        // again within a fraction of a millisecond of each other: waiting for
        // them lets them share this query instead of each taking a turn.
        if (query) self.turn.wait_until(guard, regatherUntil, [&] { return returnsDue == 0; });
    }
    const auto began = std::chrono::steady_clock::now();
    std::vector<Caller*> riders;
    CatReply reply;
    try {
        reply = TransactLocked(command, right, only, note, riders);
    } catch (...) {
        EndTurn(self, riders, {}, began);
        throw;
    }
    EndTurn(self, riders, reply, began);
    return reply;
}

void CatLink::TakeRiders(std::string_view command, RadioDialect spoken,
                         std::vector<Caller*>& riders) {
    const auto sharesIt = [&](const Caller* caller) {
        return caller->command == command && (caller->only == nullptr || *caller->only == spoken);
    };
    std::lock_guard<std::mutex> guard(queueMutex);
    if (queue.size() < 2) return;
    riders.reserve(queue.size());  // the only step that may fail comes first
    // The first in the queue is the caller that writes.
    for (std::size_t i = 1; i < queue.size(); ++i) {
        if (sharesIt(queue[i])) riders.push_back(queue[i]);
    }
    if (riders.empty()) return;
    queue.erase(std::remove_if(queue.begin() + 1, queue.end(), sharesIt), queue.end());
    shared.fetch_add(riders.size());
}

void CatLink::EndTurn(Caller& self, std::vector<Caller*>& riders, const CatReply& result,
                      std::chrono::steady_clock::time_point began) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(queueMutex);
    returnsDue = 1 + riders.size();
    regatherUntil = now + std::min<std::chrono::steady_clock::duration>(kCatRegatherWait,
                                                                         (now - began) / 4);
    // Notified under the mutex: a rider may end, and its wake with it, as
    // soon as the mutex is free.
    for (Caller* rider : riders) {
        try {
            rider->result = result;
        } catch (...) {
            rider->result = {{}, result.read};  // no memory for the answer: a failure
        }
        rider->answered = true;
        rider->turn.notify_one();
    }
    queue.erase(std::find(queue.begin(), queue.end(), &self));
    if (!queue.empty()) queue.front()->turn.notify_one();
}

CatReply CatLink::TransactLocked(std::string_view command, ChangeRight right,
                                 const RadioDialect* only, std::string& note,
                                 std::vector<Caller*>& riders) {
    std::lock_guard<std::mutex> guard(lock);
    // The one classification the caller is told about.
    const RadioDialect spoken = dialect.load();
    const bool query = IsCatQuery(command, spoken);
    const CatReply none{{}, query};
    if (closing.load() || !port.IsOpen()) return none;
    if (only != nullptr && (*only != spoken || !IsIdentified(spoken) || !query)) return none;
    // The server's own query is not retried: on a radio that does not
    // answer it (another dialect) a second "TX;" would key it again.
    const int attempts = query && only == nullptr ? 2 : 1;
    const std::string_view code = command.substr(0, 2);
    std::string wire(command);
    wire += ';';

    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kCatRetryPauseMs));
            if (closing.load()) return none;
        }
        // Whatever the radio sent since the last transaction is not the answer.
        radio.NoteStream(port.DiscardInput(), spoken);
        // Asked at the last moment: an AG that came while this waited counts.
        if (!query && !right.Holds()) return kRefusedCatReply;
        // Only callers already waiting share it: no answer predates its question.
        if (query && attempt == 0) TakeRiders(command, spoken, riders);
        if (!port.DeviceGone()) {
            port.Write(wire);  // a failed write shows as no answer
            written.fetch_add(1);
            if (command == "ID") {
                idAskedAt.store(NowMs());
                identifyNow.store(false);
            }
            if (only != nullptr && command == "TX") ownTxWritten.store(true);
        }
        if (port.DeviceGone()) {
            LoseLocked();
            return none;
        }
        if (!query) return none;
        if (!port.IsOpen()) continue;

        Reply reply = ReadReply(port, closing, code, radio, spoken);
        if (reply.end == ReplyEnd::Closing) return none;
        if (reply.end == ReplyEnd::Lost) {
            LoseLocked();
            return none;
        }
        if (reply.end == ReplyEnd::Answer) {
            if (command == "ID") NoteIdentityLocked(reply.text, note);
            return {std::move(reply.text), true};
        }
    }
    return {"?", true};
}

void CatLink::Close() {
    closing.store(true);
    // Without the link's lock: the reopener may be waiting for it.
    reopener.Stop();
    std::lock_guard<std::mutex> guard(lock);
    port.Close();
    lost = false;
    ForgetRadioLocked();
    ownTxWritten.store(false);
    radio.NoteLink(RadioLinkState::Closed);
    portName.clear();
    baud = 0;
    reopener.Rearm();
    closing.store(false);
}

CatLink::~CatLink() {
    closing.store(true);
    reopener.Stop();
}

void CatLink::LoseLocked() {
    port.Close();
    if (lost) return;
    lost = true;
    radio.NoteLink(RadioLinkState::Lost);
    LogErr("[brinmoor] CAT port " + portName + " lost \xE2\x80\x94 will reopen when it returns\n");
    reopener.Begin();
}

CatLink::Reopen CatLink::TryReopen(std::string& reopened) {
    std::lock_guard<std::mutex> guard(lock);
    if (closing.load() || !lost) return Reopen::NotWanted;
    if (!port.Open(portName, baud, byteSize, parity, stopBits, kRadioEndpoint)) {
        return Reopen::StillGone;
    }
    lost = false;
    ForgetRadioLocked();
    radio.NoteLink(RadioLinkState::Open, portName);
    reopened = portName;
    return Reopen::Reopened;
}

CatReopener::~CatReopener() {
    Stop();
}

void CatReopener::Begin() {
    std::lock_guard<std::mutex> guard(mutex);
    if (stopped) return;
    ++requested;
    wake.notify_all();
    if (thread.joinable()) return;
    try {
        thread = std::thread(&CatReopener::Loop, this);
    } catch (const std::system_error&) {
        LogErr("[brinmoor] Cannot start the CAT reopen thread\n");
    }
}

void CatReopener::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopped = true;
        wake.notify_all();
        ending = std::move(thread);
    }
    if (ending.joinable()) ending.join();
}

void CatReopener::Rearm() {
    std::lock_guard<std::mutex> guard(mutex);
    stopped = false;
}

void CatReopener::Loop() {
    std::uint64_t served = 0;
    std::unique_lock<std::mutex> guard(mutex);
    for (;;) {
        wake.wait(guard, [&] { return stopped || requested != served; });
        if (stopped) return;
        served = requested;
        // Each round waits first: the device that just went needs time to return.
        for (;;) {
            if (wake.wait_for(guard, std::chrono::milliseconds(kCatReopenMs),
                              [&] { return stopped; })) {
                return;
            }
            guard.unlock();
            std::string name;
            const CatLink::Reopen result = link.TryReopen(name);
            if (result == CatLink::Reopen::Reopened) {
                LogOut("[brinmoor] CAT port " + name + " reopened\n");
                AnnounceRadioId(link, name);
            }
            guard.lock();
            if (result != CatLink::Reopen::StillGone) break;
        }
    }
}

CatTraffic CatLink::Traffic() {
    std::lock_guard<std::mutex> guard(queueMutex);
    return {written.load(), shared.load(), queue.size()};
}

bool CatLink::IsOpen() {
    std::lock_guard<std::mutex> guard(lock);
    return port.IsOpen();
}

std::string CatLink::PortName() {
    std::lock_guard<std::mutex> guard(lock);
    return portName;
}

}  // namespace brinmoor
