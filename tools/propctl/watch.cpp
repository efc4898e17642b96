#include "watch.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "oplog.h"
#include "output.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

uint64_t pages_read(przkv_ctx *zkv, const prop_iostat *table)
{
    if (table == nullptr) return 0;
    uint64_t pages = 0;
    pthread_mutex_lock(&zkv->iostat_mutex);
    for (int i = 0; i < PROP_MAX_LOCATIONS; i++) pages += table[i].pages;
    pthread_mutex_unlock(&zkv->iostat_mutex);
    return pages;
}

}  // namespace

Watched watch(const Session &session, const std::string &label, const std::function<uint32_t()> &call)
{
    return watch(session.zkv(), label, call);
}

Watched watch(przkv_ctx *zkv, const std::string &label, const std::function<uint32_t()> &call)
{
    // The call runs on this thread, so that the error it leaves in this
    // thread's error element is the one a failure is reported with; the
    // progress line is shown from another.
    Watched result;
    prop_iostat *table = prop_fe_iostat_attach(zkv);
    std::mutex guard;  // the statistics table lives only while the call runs
    std::atomic<bool> done{false};
    std::thread shower([&] {
        Progress progress(label);
        progress.message("starting");
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard<std::mutex> hold(guard);
            if (table != nullptr && !done) progress.message(std::to_string(pages_read(zkv, table) * 4 / 1024) + " MiB read");
        }
        progress.done();
    });
    result.rc = logged(zkv, call, &result.lines);
    {
        std::lock_guard<std::mutex> hold(guard);
        done = true;
        table = nullptr;
    }
    shower.join();
    prop_fe_iostat_detach(zkv);
    return result;
}

}  // namespace propctl
