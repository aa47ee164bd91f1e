// What one client's flood costs the others: the time another connection's 1 MiB and 4 KiB reads
// take with the server idle and while flooding connections keep 16 MiB reads outstanding whose
// replies they never read, and the process's peak resident memory. Prints figures; never fails
// on them.

#include "bench/server_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace brindle;
using Clock = std::chrono::steady_clock;

constexpr int kTries = 30;
constexpr uint64_t kFloodRead = 16 * bench::kMiB;

struct Spread {
    double median;
    double worst;
};

Spread millisecondsPerRead(bench::Client& client, uint64_t length) {
    std::vector<double> took;
    for (int i = 0; i < kTries; ++i) {
        const auto began = Clock::now();
        client.send({{"method", "read"}, {"node_id", 2}, {"offset", (i % bench::kFileMiB) * bench::kMiB},
                     {"length", length}});
        client.receive();
        took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    }
    std::sort(took.begin(), took.end());
    return {took[took.size() / 2], took.back()};
}

// The peak resident set of this process, server and clients together, in MiB.
double peakResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

void report(const char* when, bench::Client& client) {
    const Spread large = millisecondsPerRead(client, bench::kMiB);
    const Spread small = millisecondsPerRead(client, 4096);
    std::printf("%-44s 1 MiB read: median %7.2f ms, worst %7.2f ms; 4 KiB read: median %7.2f ms, worst %7.2f ms\n",
                when, large.median, large.worst, small.median, small.worst);
}

}  // namespace

int main(int argc, char** argv) {
    const int flooders = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    const int outstanding = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
    bench::prepareFile();
    bench::Client other;
    report("idle server:", other);
    std::vector<std::unique_ptr<bench::Client>> flood;
    for (int i = 0; i < flooders; ++i) {
        flood.push_back(std::make_unique<bench::Client>());
        for (int j = 0; j < outstanding; ++j) {
            flood.back()->send({{"method", "read"}, {"node_id", 2}, {"offset", 0}, {"length", kFloodRead}});
        }
    }
    const std::string when = std::to_string(flooders) + " connections x " + std::to_string(outstanding) +
                             " unread 16 MiB reads:";
    report(when.c_str(), other);
    std::printf("peak resident memory, server and clients: %.0f MiB\n", peakResidentMiB());
    return 0;
}
