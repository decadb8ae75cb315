// The radio's identity on the CAT link: learned from answers to "ID",
// forgotten when the radio's answers to the server's own queries stop
// fitting, asked again at once then, and at a steady pace otherwise.
#include "radio/cat_link.h"

#include <chrono>
#include <optional>
#include <string>

#include "common/log.h"
#include "common/text.h"

namespace brinmoor {

std::int64_t CatLink::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool CatLink::IdentifyDue() const {
    const std::int64_t since = NowMs() - idAskedAt.load();
    if (IsIdentified(dialect.load())) return since >= kIdentifyCheckMs;
    return identifyNow.load() || since >= kIdentifyPollMs;
}

void CatLink::Identify() {
    // Counted as asked also when the port is closed and nothing is written.
    idAskedAt.store(NowMs());
    identifyNow.store(false);
    const RadioDialect known = dialect.load();
    std::string note;
    const CatReply reply = Transact("ID", {}, nullptr, note);
    if (!note.empty()) LogOut(note);
    if (reply.answer == "?") ForgetDialect(known, "ID");
}

void CatLink::ForgetDialect(RadioDialect known, std::string_view query) {
    if (!IsIdentified(known)) return;
    // Only the dialect that was asked in: an answer to "ID" may have come since.
    if (!dialect.compare_exchange_strong(known, RadioDialect::Unknown)) return;
    identifyNow.store(true);
    if (misfitSaid.exchange(true)) return;  // a radio that never fits is said once
    LogOut("[brinmoor] Radio gave no fitting answer to " + std::string(query) +
           " \xE2\x80\x94 asking for its ID again\n");
}

void CatLink::NoteIdentityLocked(std::string_view answer, std::string& note) {
    const std::optional<RadioDialect> identified = DialectFromId(answer);
    if (!identified) {
        radio.NoteIdentity(answer, RadioDialect::Unknown);
        // Never guess: a radio we cannot place gets nothing of ours but "ID;".
        dialect.store(RadioDialect::Unknown);
        // Asked once more at once (a garbled answer may be a passing fault),
        // then at the pace of an unidentified radio.
        if (!lastIdUnreadable) identifyNow.store(true);
        lastIdUnreadable = true;
        if (!strangeIdSaid) {
            strangeIdSaid = true;
            note = "[brinmoor] WARNING: Radio ID " + EscapeControlBytes(answer) +
                   " is neither three nor four digits \xE2\x80\x94 sending it nothing of "
                   "the server's own but ID\n";
        }
        return;
    }
    lastIdUnreadable = false;
    radio.NoteIdentity(answer, *identified);
    dialect.store(*identified);
    if (loggedDialect != *identified) {
        loggedDialect = *identified;
        note += DialectLogLine(*identified);
    }
    // The server keyed it, the server releases it.
    if (ownTxWritten.exchange(false) && IsThreeDigit(*identified) && !port.DeviceGone()) {
        port.Write("RX;");
        written.fetch_add(1);
        note +=
            "[brinmoor] Sent RX; \xE2\x80\x94 the server's own TX; went to a three-digit-ID "
            "radio, which it keys\n";
    }
}

void CatLink::ForgetRadioLocked() {
    dialect.store(RadioDialect::Unknown);
    strangeIdSaid = false;
    lastIdUnreadable = false;
    loggedDialect = RadioDialect::Unknown;
    identifyNow.store(false);
    misfitSaid.store(false);
    idAskedAt.store(NowMs());  // the opening asks "ID" itself
}

void AnnounceRadioId(CatLink& link, const std::string& portName) {
    std::string note;
    const std::string id = link.Transact("ID", {}, nullptr, note).answer;
    if (id.empty() || id == "?") {
        LogOut("[brinmoor] WARNING: No ID response \xE2\x80\x94 check COM port and radio power\n");
    } else {
        // What the radio sent is escaped: a babbling device cannot break the log line.
        LogOut("[brinmoor] CAT port " + portName + " opened. Radio ID: " + EscapeControlBytes(id) +
               "\n");
    }
    // The dialect after the port's line, so the log reads in order.
    if (!note.empty()) LogOut(note);
}

}  // namespace brinmoor
