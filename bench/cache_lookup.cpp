// proprch_get_addr, the lookup every key operation makes: hits and misses
// in a small and a large cache, from one and two threads.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "propreg/frontend.h"

namespace {

// A cache holding n keys of depth 3, spread over 50 depth-2 parents.
struct Filled {
    prop_metactx *meta = prop_fe_meta_create();
    std::unique_ptr<proprhandle> handle = std::make_unique<proprhandle>();
    proprch_ctx *cache = nullptr;
    std::vector<std::string> keys;

    explicit Filled(int n)
    {
        handle->metactx = meta;
        proprch_init(handle.get(), &cache);
        for (int i = 0; i < n; i++) {
            keys.push_back("SYSTEM.group" + std::to_string(i % 50) + ".key" + std::to_string(i));
            proprch_set_addr(cache, keys.back().c_str(), static_cast<u32>(i), 0, 0);
        }
    }
    ~Filled()
    {
        proprch_terminate(cache);
        prop_fe_meta_destroy(meta);
    }
};

// One filled cache per size, made once and shared by the threads.
Filled *filled_with(int n)
{
    static Filled small(200), large(10000);
    return n == 200 ? &small : &large;
}

void lookups(benchmark::State &state, const char *suffix)
{
    Filled *filled = filled_with(static_cast<int>(state.range(0)));
    std::vector<std::string> names;
    for (const std::string &k : filled->keys) names.push_back(k + suffix);
    size_t i = static_cast<size_t>(state.thread_index()) * 7919;
    u32 addr = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(proprch_get_addr(filled->cache, names[i % names.size()].c_str(), &addr, 0, 0));
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetAddrHit(benchmark::State &state)
{
    lookups(state, "");
}
void BM_GetAddrMiss(benchmark::State &state)
{
    lookups(state, "x");
}

BENCHMARK(BM_GetAddrHit)->Arg(200)->Arg(10000);
BENCHMARK(BM_GetAddrMiss)->Arg(200)->Arg(10000);
BENCHMARK(BM_GetAddrHit)->Arg(200)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
