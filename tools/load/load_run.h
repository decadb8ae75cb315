#pragma once
// The load itself: many non-blocking loopback clients in one poll() loop,
// each sending bursts of queries, checking every reply against the query at
// the front of its own queue, and hanging up and coming back at random.
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "procstats/child_process.h"
#include "query_mix.h"

namespace brinmoor::load {

struct RunSettings {
    std::uint16_t port = 0;
    int clients = 200;
    int seconds = 30;
    int replyTimeoutSeconds = 30;
    int churn = 40;
    int paceMs = 20;
    int depth = 3;
    std::uint64_t seed = 1;
    Baseline baseline;
    bool verbose = false;
    pid_t serverPid = 0;      // 0: no figures of the server
    Child* server = nullptr;  // a server of our own: its output is read, its end noticed
};

struct RunResult {
    long long connections = 0;
    long long queries = 0;      // queries that expect a reply
    long long setCommands = 0;  // sent without expecting one
    long long replies = 0;      // every reply received, right or not
    long long wrong = 0;        // a reply that is not the one for the query it answers
    long long missing = 0;      // a query whose reply never came
    long long errReplies = 0;   // "ERR" + the query: the radio did not answer
    long long connectFailures = 0;
    long long droppedConnections = 0;  // the server closed or reset a connection
    long long abandoned = 0;  // queries of clients that hung up on purpose before the reply
    long long serverErrorLines = 0;
    std::vector<std::string> faults;  // the first few, described
    long long latencyMedianMs = 0;
    long long latencyP99Ms = 0;
    long long latencyMaxMs = 0;
    long maxRssKb = 0;
    int maxThreads = 0;
    double cpuSeconds = -1;
    double elapsedSeconds = 0;
    bool serverEnded = false;  // the server stopped during the run
    bool interrupted = false;

    long long Errors() const {
        return errReplies + connectFailures + droppedConnections + serverErrorLines +
               (serverEnded ? 1 : 0);
    }
};

// Set by a signal handler: the clients stop sending and the run winds down.
extern volatile std::sig_atomic_t stopRequested;

RunResult RunLoad(const RunSettings& settings);

}  // namespace brinmoor::load
