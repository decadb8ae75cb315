#include "station.h"

namespace brinmoor::bench {

using std::chrono::milliseconds;

Station::~Station() {
    if (control && control->Connected() && control->Send("QUIT;")) {
        server.Wait(milliseconds(3000));
    }
}

bool Station::Start() {
    if (!radio.Start(radioOptions) || !twin.Start()) return Fail("the radio simulator did not start");
    if (!server.StartListening()) return Fail("the server did not start");
    control = std::make_unique<test::TcpClient>(server.Port());
    if (!control->Connected()) return Fail("no TCP connection to the server");
    return true;
}

bool Station::Configure(const std::string& document, std::string_view awaitedLine) {
    if (control->Ask("CFG" + document + ";", milliseconds(15000)) != "CFG_OK;") {
        return Fail("CFG was not answered");
    }
    if (!server.WaitOut(awaitedLine, milliseconds(10000))) {
        return Fail("no \"" + std::string(awaitedLine) + "\" line from the server");
    }
    return true;
}

std::string Station::CatEntry() const {
    return "\"CAT\": {\"port\": \"" + radio.Path() + "\"}";
}

bool Station::StartWithRadio() {
    return Start() && Configure("{\"ports\": {" + CatEntry() + "}}", "Radio ID");
}

bool Station::Fail(std::string reason) {
    failure = std::move(reason);
    return false;
}

}  // namespace brinmoor::bench
