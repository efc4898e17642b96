// Front-end context of the reference front end: the record the library
// reads, with an error table over a hash map and the per-thread lists.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "propreg/frontend.h"

namespace {

// Keys and elements are tagged blocks the library took from the context's
// meta context; the table owns them once inserted.
struct ErrorTable {
    std::mutex mu;
    std::unordered_map<std::string, std::pair<char *, prop_errelem *>> elements;
};

prop_errelem *table_find(void *table, const char *key)
{
    auto *t = static_cast<ErrorTable *>(table);
    std::lock_guard<std::mutex> lock(t->mu);
    auto it = t->elements.find(key);
    return it == t->elements.end() ? nullptr : it->second.second;
}

int table_insert(void *table, char *key, prop_errelem *elem)
{
    auto *t = static_cast<ErrorTable *>(table);
    std::lock_guard<std::mutex> lock(t->mu);
    return t->elements.emplace(key, std::make_pair(key, elem)).second ? 0 : 1;
}

constexpr prop_strtab_ops kTableOps = {table_find, table_insert};
int g_catalogue;  // the catalogue needs no state; its handle only has to be set

struct FeZkv {
    przkv_ctx zkv;  // first member: the przkv_ctx * is the FeZkv *
    prop_errelem global;
    ErrorTable table;
    std::mutex lists_mu;
    std::vector<prop_oplog_list *> oplogs;
    std::vector<prop_iostat *> iostats;
};

FeZkv *fe(przkv_ctx *zkv)
{
    return reinterpret_cast<FeZkv *>(zkv);
}

void free_oplog(przkv_ctx *zkv, prop_oplog_list *list)
{
    for (prop_oplog_entry *e = list->head; e != nullptr;) {
        prop_oplog_entry *next = e->next;
        prop_fe_free_block(zkv->metactx, e);
        e = next;
    }
    delete list;
}

template <class T>
void forget(std::vector<T *> &v, T *p)
{
    for (auto it = v.begin(); it != v.end(); ++it)
        if (*it == p) {
            v.erase(it);
            return;
        }
}

void fill(przkv_ctx &z, prop_metactx *meta, prop_secctx *sec, const prop_fe_zkv_opts &o)
{
    std::memcpy(z.tag, "PRZKVCTX", sizeof z.tag);
    z.metactx = meta;
    z.secctx = sec;
    z.registry_kind = o.registry_kind == PROP_KIND_NKV ? PROP_KIND_NKV : PROP_KIND_ZKV;
    z.location_flags = z.registry_kind;
    z.alert_base = o.alert_base != 0 ? o.alert_base : z.registry_kind == PROP_KIND_NKV ? 2100 : 1000;
    z.developer_mode = o.developer_mode;
    z.init_log_level = o.init_log_level;
    z.boot_level = o.boot_level;
    std::snprintf(z.active_version, sizeof z.active_version, "%s",
                  o.active_version != nullptr ? o.active_version : "12.2.0.0.0");
    std::snprintf(z.group_name, sizeof z.group_name, "%s", o.group_name != nullptr ? o.group_name : "");
    if (sec->clsctx != nullptr) std::snprintf(z.hostname, sizeof z.hostname, "%s", sec->clsctx->hostname);
    z.catalogue = &g_catalogue;
    z.msgtext = prop_fe_msgtext;
    z.facility = "PROP";
}

}  // namespace

extern "C" {

przkv_ctx *prop_fe_zkvctx_create(prop_metactx *meta, prop_secctx *sec, const prop_fe_zkv_opts *opts)
{
    if (meta == nullptr || sec == nullptr) return nullptr;
    auto *f = new (std::nothrow) FeZkv{};
    if (f == nullptr) return nullptr;
    przkv_ctx &z = f->zkv;
    fill(z, meta, sec, opts != nullptr ? *opts : prop_fe_zkv_opts{});
    z.errtab.global = &f->global;
    z.errtab.table = &f->table;
    z.errtab.ops = &kTableOps;
    pthread_mutex_init(&z.mutex, nullptr);
    pthread_mutex_init(&z.oplog_mutex, nullptr);
    pthread_mutex_init(&z.iostat_mutex, nullptr);
    z.oplog_key_valid = pthread_key_create(&z.oplog_key, nullptr) == 0;
    z.iostat_key_valid = pthread_key_create(&z.iostat_key, nullptr) == 0;
    return &z;
}

void prop_fe_zkvctx_destroy(przkv_ctx *zkv)
{
    if (zkv == nullptr) return;
    FeZkv *f = fe(zkv);
    for (auto &kv : f->table.elements) {
        prop_fe_free_block(zkv->metactx, kv.second.first);
        prop_fe_free_block(zkv->metactx, kv.second.second);
    }
    for (prop_oplog_list *l : f->oplogs) free_oplog(zkv, l);
    for (prop_iostat *s : f->iostats) delete[] s;
    if (zkv->oplog_key_valid) pthread_key_delete(zkv->oplog_key);
    if (zkv->iostat_key_valid) pthread_key_delete(zkv->iostat_key);
    pthread_mutex_destroy(&zkv->mutex);
    pthread_mutex_destroy(&zkv->oplog_mutex);
    pthread_mutex_destroy(&zkv->iostat_mutex);
    delete f;
}

uint64_t prop_fe_zkvctx_error_count(const przkv_ctx *zkv)
{
    FeZkv *f = fe(const_cast<przkv_ctx *>(zkv));
    std::lock_guard<std::mutex> lock(f->table.mu);
    return f->table.elements.size();
}

prop_errelem *prop_fe_thread_error(przkv_ctx *zkv)
{
    if (zkv == nullptr) return nullptr;
    const std::string id = std::to_string(static_cast<long>(syscall(SYS_gettid)));
    prop_errelem *e = table_find(&fe(zkv)->table, id.c_str());
    return e != nullptr ? e : zkv->errtab.global;
}

prop_oplog_list *prop_fe_oplog_attach(przkv_ctx *zkv)
{
    if (zkv == nullptr || !zkv->oplog_key_valid) return nullptr;
    auto *list = new (std::nothrow) prop_oplog_list{};
    if (list == nullptr) return nullptr;
    FeZkv *f = fe(zkv);
    std::lock_guard<std::mutex> lock(f->lists_mu);
    f->oplogs.push_back(list);
    pthread_setspecific(zkv->oplog_key, list);
    return list;
}

void prop_fe_oplog_detach(przkv_ctx *zkv)
{
    if (zkv == nullptr || !zkv->oplog_key_valid) return;
    auto *list = static_cast<prop_oplog_list *>(pthread_getspecific(zkv->oplog_key));
    if (list == nullptr) return;
    FeZkv *f = fe(zkv);
    std::lock_guard<std::mutex> lock(f->lists_mu);
    pthread_mutex_lock(&zkv->oplog_mutex);  // the library may be appending
    pthread_setspecific(zkv->oplog_key, nullptr);
    pthread_mutex_unlock(&zkv->oplog_mutex);
    forget(f->oplogs, list);
    free_oplog(zkv, list);
}

prop_iostat *prop_fe_iostat_attach(przkv_ctx *zkv)
{
    if (zkv == nullptr || !zkv->iostat_key_valid) return nullptr;
    auto *stats = new (std::nothrow) prop_iostat[PROP_MAX_LOCATIONS]{};
    if (stats == nullptr) return nullptr;
    FeZkv *f = fe(zkv);
    std::lock_guard<std::mutex> lock(f->lists_mu);
    f->iostats.push_back(stats);
    pthread_setspecific(zkv->iostat_key, stats);
    return stats;
}

void prop_fe_iostat_detach(przkv_ctx *zkv)
{
    if (zkv == nullptr || !zkv->iostat_key_valid) return;
    auto *stats = static_cast<prop_iostat *>(pthread_getspecific(zkv->iostat_key));
    if (stats == nullptr) return;
    FeZkv *f = fe(zkv);
    std::lock_guard<std::mutex> lock(f->lists_mu);
    pthread_setspecific(zkv->iostat_key, nullptr);
    forget(f->iostats, stats);
    delete[] stats;
}

}  // extern "C"
