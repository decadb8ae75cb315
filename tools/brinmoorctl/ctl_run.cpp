#include "ctl_run.h"

#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "cfg_check.h"
#include "common/text.h"
#include "config/json.h"
#include "config/port_settings.h"
#include "ctl_protocol.h"
#include "ctl_watch.h"
#include "json_text.h"
#include "platform/socket.h"
#include "platform/terminal.h"
#include "radio/cat_query.h"
#include "relay/app_groups.h"
#include "server_connection.h"

namespace brinmoor {
namespace {

constexpr const char* kPrefix = "brinmoorctl: ";

// One run's connection and its reporting.
class Session {
  public:
    Session(const CtlCommandLine& line, std::ostream& out, std::ostream& err)
        : line(line), out(out), err(err) {}

    bool Connect() {
        const std::string failure = connection.Connect(line.host, line.port, line.timeout);
        if (failure.empty()) return true;
        err << kPrefix << "cannot reach brinmoor at " << line.host << ":" << line.port << ": "
            << failure << "\n";
        status = kCtlNoServer;
        return false;
    }

    // Sends the frame and waits for its reply; reports a lost connection or
    // a time-out itself.
    std::optional<std::string> Ask(const std::string& frame) {
        if (!connection.Send(frame)) {
            err << kPrefix << "the connection to the server failed while sending\n";
            status = kCtlNoServer;
            return std::nullopt;
        }
        return Reply(frame);
    }

    std::optional<std::string> Reply(const std::string& frame) {
        const ServerReply reply = connection.ReadReply(line.timeout);
        if (reply.status == ReplyStatus::Reply) return reply.text;
        // The command's own text, or just CFG for a whole document.
        std::string what = frame.substr(0, frame.find(';'));
        if (what.starts_with("CFG")) what = "CFG";
        if (reply.status == ReplyStatus::TimedOut) {
            err << kPrefix << "no reply to " << what << " within " << line.timeout.count() / 1000
                << " s\n";
        } else {
            err << kPrefix << "the server closed the connection without replying to " << what
                << "\n";
        }
        status = kCtlNoServer;
        return std::nullopt;
    }

    // Sends a frame that the server does not answer, followed by PORTS, whose
    // reply shows that the frame has been handled.
    bool SendUnanswered(const std::string& frame) {
        const auto reply = Ask(frame + "PORTS;");
        if (!reply) return false;
        if (reply->starts_with("PORTS")) return true;
        Unexpected(*reply);
        return false;
    }

    void Unexpected(const std::string& reply) {
        err << kPrefix << "unexpected reply from the server: " << reply << ";\n";
        status = kCtlFailed;
    }

    const CtlCommandLine& line;
    std::ostream& out;
    std::ostream& err;
    ServerConnection connection;
    int status = kCtlOk;
};

bool ReadFile(const std::string& path, std::string& text, std::ostream& err) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        err << kPrefix << "cannot read " << path << "\n";
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

// Checks the document and reports; the frame to send, or nothing on errors.
std::optional<std::string> CheckedFrame(const std::string& path, std::ostream& err) {
    std::string text;
    if (!ReadFile(path, text, err)) return std::nullopt;
    const CfgCheck check = CheckCfgDocument(text);
    err << FormatFindings(check.findings, path);
    if (check.HasErrors()) {
        err << kPrefix << path << " not sent: correct the errors above\n";
        return std::nullopt;
    }
    return check.frame;
}

int Check(const CtlCommandLine& line, std::ostream& out, std::ostream& err) {
    const auto frame = CheckedFrame(line.arguments[0], err);
    if (!frame) return kCtlFailed;
    out << line.arguments[0] << ": the server can read this document\n";
    return kCtlOk;
}

// The server answers CFG_OK whatever happens to the ports, and keeps the CAT
// port that worked when the new one does not open: a CAT port counts as
// configured only when the status names it and the radio answers ID there.
bool CatPortAnswers(Session& session, const std::string& port) {
    const auto status = session.Ask("PORTS;");
    if (!status) return false;
    const auto id = session.Ask("ID;");
    if (!id) return false;
    std::string reported;
    try {
        reported = JsonText(JsonMember(ParseJsonDocument(status->substr(5)), "com"));
    } catch (const std::exception&) {
        // A status text that cannot be read names no port.
    }
    if (status->starts_with("PORTS") && reported == port && id->starts_with("ID")) return true;
    session.err << kPrefix
                << "the CAT port did not open or the radio does not answer: see the server's log\n";
    session.status = kCtlFailed;
    return false;
}

int Cfg(Session& session) {
    const auto frame = CheckedFrame(session.line.arguments[0], session.err);
    if (!frame) return kCtlFailed;
    if (!session.Connect()) return session.status;
    const auto reply = session.Ask(*frame);
    if (!reply) return session.status;
    if (*reply != "CFG_OK") {
        session.Unexpected(*reply);
        return session.status;
    }
    session.out << "CFG_OK: configuration sent; the server's log shows which ports opened\n";
    const JsonValue document = ParseJsonDocument(std::string_view(*frame).substr(3));
    const std::string cat =
        JsonText(JsonMember(JsonMember(JsonMember(document, "ports"), "CAT"), "port"));
    if (!IsNoPort(cat) && !CatPortAnswers(session, cat)) return session.status;
    // The server reads "active" only from a station file; here it is an AG.
    if (const auto active = ActiveGroupOf(document)) {
        const auto agReply = session.Ask("AG" + std::to_string(*active) + ";");
        if (!agReply) return session.status;
        if (*agReply != "AG_OK") {
            session.Unexpected(*agReply);
            return session.status;
        }
        session.out << "app group " << *active << " is the active app now\n";
    }
    return kCtlOk;
}

int Cat(Session& session) {
    const std::vector<std::string> commands = SplitCatCommands(session.line.arguments);
    if (commands.empty()) {
        session.err << kPrefix << "no CAT command given\n";
        return kCtlUsage;
    }
    for (const std::string& command : commands) {
        const std::string_view control = ControlCommandOf(command);
        if (!control.empty()) {
            session.err << kPrefix << command << ": the server takes this frame as its own "
                        << control << " command, so it cannot reach the radio from brinmoorctl\n";
            return kCtlUsage;
        }
    }
    if (!session.Connect()) return session.status;
    // Which commands the radio answers depends on its dialect, so ask who it is.
    const auto id = session.Ask("ID;");
    if (!id) return session.status;
    const RadioDialect dialect = DialectFromId(*id).value_or(RadioDialect::Unknown);
    int result = kCtlOk;
    for (const std::string& command : commands) {
        const std::string frame = command + ";";
        if (!IsCatQuery(command, dialect)) {
            if (!session.SendUnanswered(frame)) return session.status;
            session.out << command << ": sent, no reply (set command)\n";
            continue;
        }
        const auto reply = session.Ask(frame);
        if (!reply) return session.status;
        if (*reply == "ERR" + command) {
            session.err << kPrefix << command
                        << ": no answer from the radio (no CAT port open, the radio is off or "
                           "not connected, or it refused the command)\n";
            result = kCtlFailed;
        } else {
            session.out << *reply << ";\n";
        }
    }
    return result;
}

int Run(Session& session) {
    const CtlCommandLine& line = session.line;
    const std::string& command = line.command;
    if (command == "status" || command == "watch") {
        const bool terminal = &session.out == &std::cout && PrepareTerminalOutput();
        return RunStatusCommand(line, session.out, session.err, terminal);
    }
    if (command == "cat") return Cat(session);
    if (command == "cfg") return Cfg(session);
    if (!session.Connect()) return session.status;

    if (command == "ports") {
        const auto reply = session.Ask("PORTS;");
        if (!reply) return session.status;
        if (!reply->starts_with("PORTS")) {
            session.Unexpected(*reply);
            return session.status;
        }
        // Nothing a server sends may steer the operator's terminal.
        session.out << PrettyJson(EscapeControlBytes(reply->substr(5))) << "\n";
        return kCtlOk;
    }
    if (command == "pw") {
        const auto reply = session.Ask("PW;");
        if (!reply) return session.status;
        const auto power = DescribePower(*reply);
        if (!power) {
            session.Unexpected(*reply);
            return session.status;
        }
        session.out << *power << "\n";
        return kCtlOk;
    }
    if (command == "ag") {
        const std::string group = line.arguments.empty() ? "-1" : line.arguments[0];
        const auto reply = session.Ask("AG" + (line.arguments.empty() ? "" : group) + ";");
        if (!reply) return session.status;
        if (*reply != "AG_OK") {
            session.Unexpected(*reply);
            return session.status;
        }
        if (group == "-1") {
            session.out << "no app group is active now\n";
        } else {
            session.out << "app group " << group << " is the active app now\n";
        }
        return kCtlOk;
    }
    if (command == "ptt" || command == "cw") {
        const bool on = line.arguments[0] == "on";
        const std::string frame = std::string(command == "ptt" ? "PT" : "CK") + (on ? "1;" : "0;");
        if (!session.SendUnanswered(frame)) return session.status;
        session.out << (command == "ptt" ? "PTT " : "CW key ") << (on ? "on" : "off")
                    << ": sent (the server does not confirm; without a "
                    << (command == "ptt" ? "PTT" : "CW") << " port it does nothing)\n";
        return kCtlOk;
    }
    // quit
    const auto reply = session.Ask("QUIT;");
    if (!reply) return session.status;
    if (*reply != "QUIT_OK") {
        session.Unexpected(*reply);
        return session.status;
    }
    session.out << "QUIT_OK: the server is shutting down\n";
    return kCtlOk;
}

}  // namespace

int RunCtlCommand(const CtlCommandLine& line, std::ostream& out, std::ostream& err) {
    if (line.command == "check") return Check(line, out, err);
    if (!StartSockets()) {
        err << kPrefix << "cannot start Windows sockets\n";
        return kCtlNoServer;
    }
    Session session(line, out, err);
    const int status = Run(session);
    CleanupSockets();
    return status;
}

int CtlMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const CtlCommandLine line = ParseCtlCommandLine(arguments);
    switch (line.action) {
        case CtlAction::Help:
            out << CtlHelpText();
            return kCtlOk;
        case CtlAction::Version:
            out << CtlVersionText();
            return kCtlOk;
        case CtlAction::Refuse:
            err << kPrefix << line.refusal << "\n"
                << "Try 'brinmoorctl --help'.\n";
            return kCtlUsage;
        case CtlAction::Run:
            break;
    }
    return RunCtlCommand(line, out, err);
}

}  // namespace brinmoor
