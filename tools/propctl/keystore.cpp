#include "keystore.h"

#include "commands.h"
#include "watch.h"

namespace propctl {

uint32_t KeyStore::read(const std::string &name, Value *value, std::vector<std::string> *names)
{
    Key key;
    uint32_t rc = open(name, &key);
    if (rc == 0 && value != nullptr) rc = this->value(key, value);
    if (rc == 0 && names != nullptr) rc = subkeys(key, names);
    return rc;
}

uint32_t LibraryStore::open(const std::string &name, Key *out)
{
    return open_key(ctx_, name, out);
}

uint32_t LibraryStore::value(const Key &key, Value *out)
{
    return read_value(ctx_, key.get(), out);
}

uint32_t LibraryStore::subkeys(const Key &key, std::vector<std::string> *out)
{
    return list_subkeys(ctx_, meta_, key.get(), out);
}

uint32_t LibraryStore::security(const Key &key, sec_attr *out)
{
    return prop_get_security(ctx_, key.get(), out);
}

uint32_t LibraryStore::apply_one(Change &c)
{
    return propctl::apply_one(ctx_, c);
}

uint32_t LibraryStore::apply_batch(std::vector<Change> &changes, size_t *failed, std::string *why)
{
    return explained(zkv_, [&] { return propctl::apply_batch(ctx_, changes, failed); }, why);
}

Watched LibraryStore::scan(const std::string &label, prop_status *st, uint32_t *ids)
{
    // Four: the locations' names in full, as configured.
    Watched w = watch(zkv_, label, [&] { return prop_get_status(ctx_, st, 4); });
    uint32_t zkvid = 0;
    if (w.rc == 0) w.rc = prop_get_id(ctx_, &zkvid, ids, 0);
    return w;
}

uint32_t LibraryStore::describe(Kind kind, StoreInfo *out)
{
    if (uint32_t rc = prop_get_version(ctx_, &out->format_version); rc != 0) return rc;
    char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE];
    if (uint32_t rc = prop_get_conf_handle(ctx_, names); rc != 0) return rc;
    for (const auto &n : names)
        if (n[0] != '\0') out->locations.push_back(n);
    char errbuf[1024] = "";
    uint64_t errsz = sizeof errbuf;
    return prop_get_dev(ctx_, out->device_ids, errbuf, &errsz, kind == Kind::local ? PROP_KIND_NKV : PROP_KIND_ZKV);
}

Watched LibraryStore::check_tree(const std::string &label)
{
    return watch(zkv_, label, [&] { return prop_check_logical_corruption(ctx_); });
}

Watched LibraryStore::backup(const std::string &label, char *name)
{
    return watch(zkv_, label, [&] { return prop_bkup(ctx_, name); });
}

RecordRun LibraryStore::export_to(const std::string &file, const std::string &top)
{
    return export_records(RecordStore{ctx_, meta_, zkv_, true}, file, top);
}

RecordRun LibraryStore::import_from(const std::string &file, uint32_t mode, const std::string &importer)
{
    return import_records(RecordStore{ctx_, meta_, zkv_, true}, file, mode, importer);
}

uint32_t LibraryStore::block(const std::string &key, uint32_t location, bool show, RawBlock *out)
{
    return read_block(ctx_, key, location, show, out);
}

uint32_t LibraryStore::state(uint32_t *out)
{
    return prop_get_state(ctx_, out, 0);
}

uint32_t LibraryStore::sizes(prop_status *out)
{
    return store_sizes(ctx_, out);
}

}  // namespace propctl
