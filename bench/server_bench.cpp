#include "bench/server_fixture.h"

#include <benchmark/benchmark.h>

namespace {

using namespace brindle;
using bench::Client;
using bench::kFileMiB;
using bench::kMiB;

void BM_Lookup(benchmark::State& state) {
    Client client;
    client.pipeline(state, 32, [] { return boost::json::object{{"method", "lookup"}, {"parent_id", 1}, {"name", "file"}}; });
}

void BM_GetAttributes(benchmark::State& state) {
    Client client;
    client.pipeline(state, 32, [] { return boost::json::object{{"method", "get_attributes"}, {"node_id", 1}}; });
}

void BM_Write1MiB(benchmark::State& state) {
    Client client;
    const std::string data(kMiB, 'w');
    uint64_t next = 0;
    client.pipeline(
        state, 8,
        [&next] {
            return boost::json::object{{"method", "write"}, {"node_id", 2}, {"offset", (next++ % kFileMiB) * kMiB},
                                       {"length", kMiB}};
        },
        data);
}

void BM_Read1MiB(benchmark::State& state) {
    Client client;
    uint64_t next = 0;
    client.pipeline(state, 8, [&next] {
        return boost::json::object{{"method", "read"}, {"node_id", 2}, {"offset", (next++ % kFileMiB) * kMiB},
                                   {"length", kMiB}};
    });
}

}  // namespace

BENCHMARK(BM_Lookup)->UseRealTime();
BENCHMARK(BM_GetAttributes)->UseRealTime();
BENCHMARK(BM_Write1MiB)->UseRealTime();
BENCHMARK(BM_Read1MiB)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::prepareFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
