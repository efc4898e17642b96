// Configuration values and published group data from the input, through
// the configuration readers (prop_get_conf, prop_get_dev,
// prop_check_storage), the group-data readers, the open's repair from the
// published configuration and the repair by hand (prop_repair_conf).
//
// Input (harness/config_input.h): the raw files of the configuration key's
// values, of the published configuration and of the vote record, then the
// names and flags the calls take.  Location names the input gives a call
// are kept inside the in-memory file system (or the volume manager's
// stand-in), so no input names a real file.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "core/alloc.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "harness/config_input.h"
#include "platform/groupdata.h"
#include "storage/config.h"

namespace {

using namespace fuzz;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

void write_raw(const std::string &path, const std::string &bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail("cannot write %s", path.c_str());
    ::close(fd);
}

std::string key_dir(bool nkv)
{
    std::string dir = scratch() + "/registry/" + kConfigKey;
    for (char &c : dir)
        if (c == '\\') c = '/';
    return nkv ? dir + "/" + kHost : dir;
}

// The key holds exactly the input's value files, and nothing else.
void write_values(const ConfigInput &in)
{
    const std::string top = key_dir(false);
    ::nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    ::mkdir((scratch() + "/registry/fuzz").c_str(), 0755);
    ::mkdir(top.c_str(), 0755);
    const std::string dir = key_dir(in.nkv);
    ::mkdir(dir.c_str(), 0755);
    for (const auto &[name, bytes] : in.values) write_raw(dir + "/" + name, bytes);
}

// What the configuration holds, to prove a refused repair left it alone.
std::map<std::string, std::string> snapshot_values(bool nkv)
{
    std::map<std::string, std::string> out;
    char err[1024];
    u64 errsz = sizeof err;
    u32 configured = 0, local_only = 0;
    static dev_names names;
    static char hwk[4096];
    std::memset(names, 0, sizeof names);
    const u32 rc = prop_get_conf(nullptr, nullptr, &configured, names, &local_only, hwk, err, &errsz,
                                 nkv ? PROP_KIND_NKV : PROP_KIND_ZKV);
    out["rc"] = std::to_string(rc);
    for (u32 i = 0; i < PROP_MAX_LOCATIONS; i++) out[std::to_string(i)] = names[i];
    return out;
}

void expect_text(const char *what, const char *buf, size_t capacity)
{
    if (strnlen(buf, capacity) == capacity) fail("%s left its error text unterminated", what);
}

void read_configuration(const ConfigInput &in, dev_names locations)
{
    char err[1024];
    u64 errsz = sizeof err;
    u32 configured = 0, local_only = 0;
    static char hwk[4096];
    std::memset(err, 0, sizeof err);
    expect_documented("prop_get_conf", prop_get_conf(nullptr, nullptr, &configured, locations, &local_only, hwk, err,
                                                     &errsz, in.kind() | in.conf_flags));
    expect_text("prop_get_conf", err, sizeof err);
    if (errsz > sizeof err) fail("prop_get_conf reported %llu bytes of error text", static_cast<unsigned long long>(errsz));
    u32 dev[PROP_MAX_LOCATIONS] = {};
    errsz = sizeof err;
    expect_documented("prop_get_dev", prop_get_dev(nullptr, dev, err, &errsz, in.kind()));
    u32 other[PROP_MAX_LOCATIONS] = {1, 2, 3, 4, 5};
    u32 errsz32 = sizeof err;
    expect_documented("prop_compare_dev", prop_compare_dev(dev, other, err, &errsz32));
    errsz32 = sizeof err;
    expect_documented("prop_check_storage",
                      prop_check_storage(nullptr, in.storage.c_str(), err, &errsz32, in.kind() | in.storage_flags));
    expect_text("prop_check_storage", err, sizeof err);
}

// The open's repair, on a handle of its own at the CACHING level whose
// configuration is what the key holds.
void repair_from_published(prop_metactx *meta, const dev_names locations)
{
    propreg::TempHandle temp(meta, PROP_KIND_ZKV);
    if (!temp.ok() || temp.start_io() != 0) fail("cannot make a handle for the repair");
    proprhandle *h = temp.get();
    h->proprhandle_bootlevel = PROP_LEVEL_CACHING;
    std::snprintf(h->proprhandle_zkvctx->active_version, sizeof h->proprhandle_zkvctx->active_version, "%s",
                  "12.2.0.0.0");
    std::snprintf(h->proprhandle_zkvctx->group_name, sizeof h->proprhandle_zkvctx->group_name, "%s", kGroupName);
    std::memcpy(h->proprhandle_filename, locations, sizeof(dev_names));
    expect_documented("proprio_repairconf", proprio_repairconf(h));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Locations the seeds name, so that a check or repair can succeed.
    for (const char *name : kConfigFiles) env().put_file(std::string(kMemRoot) + "/" + name, nullptr, 0);
    env().snapshot();
    ::mkdir((scratch() + "/registry/groupdata").c_str(), 0755);
    use_configuration(kConfigKey);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    env().rollback();
    Input input(data, size);
    ConfigInput in = ConfigInput::read(input);
    write_values(in);
    const std::string groupdata = scratch() + "/registry/groupdata/";
    write_raw(groupdata + "zkv_" + kGroupName + ".public", in.published);
    write_raw(groupdata + kGroupName, in.votes);

    prop_metactx *meta = prop_fe_meta_create();
    static dev_names locations;
    std::memset(locations, 0, sizeof locations);
    read_configuration(in, locations);
    u32 record[PROP_GRPREC_WORDS];
    grpdata_read(kGroupName, record, sizeof record);
    if (!in.nkv) repair_from_published(meta, locations);

    write_values(in);
    const auto before = snapshot_values(in.nkv);
    const u32 rc = expect_documented(
        "prop_repair_conf", prop_repair_conf(meta, in.repair_slot, in.repair_name.c_str(), in.kind()));
    // A repair refused before it wrote the configuration leaves it as it was
    // (33 and 45 may come after the write).
    if (rc != 0 && rc != PROP_E_NOCONF && rc != PROP_E_DEPEND && snapshot_values(in.nkv) != before)
        fail("prop_repair_conf refused with %u but changed the configuration", rc);

    if (uint64_t live = prop_fe_meta_live_blocks(meta); live != 0)
        fail("%llu blocks left in the meta context", static_cast<unsigned long long>(live));
    prop_fe_meta_destroy(meta);
    return 0;
}
