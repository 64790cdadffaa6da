// aaContext against std::unordered_map<std::string, void*> on the same short
// keys in the same run: put (keys copied by both), get in random order, and
// delete. Run through bench/aa_compare, which prints ns/op and the ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/aa.h"

namespace {

const std::vector<std::string>& keys(size_t count) {
    static std::vector<std::string> all;
    if (all.size() != count) {
        all.clear();
        for (size_t i = 0; i < count; ++i)
            all.push_back("user" + std::to_string(i * 2654435761u % 100000007));
    }
    return all;
}

std::vector<const std::string*> shuffled(const std::vector<std::string>& from) {
    std::vector<const std::string*> order;
    for (const auto& key : from) order.push_back(&key);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    return order;
}

// Reported as "ns/op": the counter is (operations × 1e-9) per second, inverted.
void perOp(benchmark::State& state, size_t count) {
    state.counters["ns/op"] = benchmark::Counter(
        static_cast<double>(count) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

aaContext* filledArray(const std::vector<std::string>& from) {
    aaContext* ctx = aaCreateContext(0);
    for (const auto& key : from) aaPut(ctx, key.c_str(), nullptr, AA_DUPKEY | AA_EXTVAL);
    return ctx;
}

using Map = std::unordered_map<std::string, void*>;

Map filledMap(const std::vector<std::string>& from) {
    Map map;
    for (const auto& key : from) map.emplace(key, nullptr);
    return map;
}

void BM_aaPut(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    for (auto _ : state) {
        aaContext* ctx = filledArray(all);
        state.PauseTiming();
        aaDestroyContext(ctx);
        state.ResumeTiming();
    }
    perOp(state, all.size());
}

void BM_mapPut(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    for (auto _ : state) {
        auto* map = new Map(filledMap(all));
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    perOp(state, all.size());
}

void BM_aaGet(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    const auto order = shuffled(all);
    aaContext* ctx = filledArray(all);
    for (auto _ : state) {
        for (const std::string* key : order) benchmark::DoNotOptimize(aaGet(ctx, key->c_str()));
    }
    aaDestroyContext(ctx);
    perOp(state, all.size());
}

void BM_mapGet(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    const auto order = shuffled(all);
    const Map map = filledMap(all);
    for (auto _ : state) {
        for (const std::string* key : order) benchmark::DoNotOptimize(map.find(*key));
    }
    perOp(state, all.size());
}

void BM_aaDelete(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    const auto order = shuffled(all);
    for (auto _ : state) {
        state.PauseTiming();
        aaContext* ctx = filledArray(all);
        state.ResumeTiming();
        for (const std::string* key : order) aaDelete(ctx, key->c_str());
        state.PauseTiming();
        aaDestroyContext(ctx);
        state.ResumeTiming();
    }
    perOp(state, all.size());
}

void BM_mapDelete(benchmark::State& state) {
    const auto& all = keys(state.range(0));
    const auto order = shuffled(all);
    for (auto _ : state) {
        state.PauseTiming();
        Map map = filledMap(all);
        state.ResumeTiming();
        for (const std::string* key : order) map.erase(*key);
    }
    perOp(state, all.size());
}

// 1,000,000 keys, and 50,000, where the table is not yet at its 65536-bucket cap.
#define SIZES ->Arg(1000000)->Arg(50000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_aaPut) SIZES;
BENCHMARK(BM_mapPut) SIZES;
BENCHMARK(BM_aaGet) SIZES;
BENCHMARK(BM_mapGet) SIZES;
BENCHMARK(BM_aaDelete) SIZES;
BENCHMARK(BM_mapDelete) SIZES;

}  // namespace

BENCHMARK_MAIN();
