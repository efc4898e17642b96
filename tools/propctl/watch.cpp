#include "watch.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "output.h"
#include "propreg/frontend.h"

namespace propctl {

namespace {

// Entries begin with "YYYY-MM-DD hh:mm:ss.mmm: ".
constexpr size_t kStampLength = 25;

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
    przkv_ctx *zkv = session.zkv();
    Watched result;
    std::mutex guard;  // the statistics table lives only while the worker has it
    prop_iostat *table = nullptr;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        prop_oplog_list *log = prop_fe_oplog_attach(zkv);
        {
            std::lock_guard<std::mutex> hold(guard);
            table = prop_fe_iostat_attach(zkv);
        }
        result.rc = call();
        for (prop_oplog_entry *e = log != nullptr ? log->head : nullptr; e != nullptr; e = e->next) {
            std::string line(e->line);
            result.lines.push_back(line.size() > kStampLength ? line.substr(kStampLength) : line);
        }
        {
            std::lock_guard<std::mutex> hold(guard);
            table = nullptr;
            prop_fe_iostat_detach(zkv);
        }
        prop_fe_oplog_detach(zkv);
        done = true;
    });
    Progress progress(label);
    progress.message("starting");
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> hold(guard);
        if (table != nullptr) progress.message(std::to_string(pages_read(zkv, table) * 4 / 1024) + " MiB read");
    }
    worker.join();
    progress.done();
    return result;
}

}  // namespace propctl
