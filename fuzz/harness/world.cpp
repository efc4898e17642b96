#include "harness/world.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/cfgstore.h"
#include "platform/trace.h"
#include "storage/config.h"

namespace fuzz {

namespace {

constexpr uint32_t kValueMax = 256 + 1036 * 4064;  // the largest value a tnode can name
constexpr const char *kTopKeys[] = {"DATABASE", "SYSTEM", "HWK"};

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

void remove_scratch()
{
    ::nftw(scratch().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string make_scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp != nullptr && *tmp ? tmp : "/tmp");
    std::string dir = base + "/propreg-fuzz-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) fail("cannot make a scratch directory under %s", base.c_str());
    return dir;
}

}  // namespace

void fail(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::fprintf(stderr, "==propreg-fuzz== ");
    std::vfprintf(stderr, format, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
    trace_flush(3);
    std::abort();
}

const std::string &scratch()
{
    static const std::string dir = [] {
        std::string d = make_scratch();
        ::setenv("ZKV_DEVELOPER_ENV", "TRUE", 1);
        ::setenv("ZKV_REGISTRY_ROOT", (d + "/registry").c_str(), 1);
        ::setenv("ZKV_VLD_ROOT", (d + "/vld").c_str(), 1);
        ::unsetenv("PROPREG_FAULTS");
        ::mkdir((d + "/registry").c_str(), 0755);
        ::mkdir((d + "/vld").c_str(), 0755);
        return d;
    }();
    static const bool cleaned = [] { return std::atexit(remove_scratch) == 0; }();
    (void)cleaned;
    return dir;
}

MemEnv &env()
{
    static MemEnv *mem = [] {
        scratch();
        auto *m = new MemEnv(kMemRoot, env_posix(), scratch(), [](const char *path) {
            fail("the library reached a file outside its places: %s", path);
        });
        m->print_writes(std::getenv("PROPREG_FUZZ_WRITES") != nullptr);
        env_install(m);
        return m;
    }();
    return *mem;
}

bool documented(uint32_t rc)
{
    static const uint32_t codes[] = {
        PROP_OK,          PROP_E_LEVEL,     PROP_E_CTX,       PROP_E_STALE,       PROP_E_PERM,     PROP_E_KEYH,
        PROP_E_ARG,       PROP_E_BUFSZ,     PROP_E_NOTEMPTY,  PROP_E_NOMEM,       PROP_E_NULL,     PROP_E_NOMORE,
        PROP_E_TOOBIG,    PROP_E_MAXSUBKEY, PROP_E_FORMAT,    PROP_E_CLUSTER,     PROP_E_STORAGE,  PROP_E_DEVSPACE,
        PROP_E_NOCONF,    PROP_E_DEVDIFF,   PROP_E_NOSPACE,   PROP_E_STYPE,       PROP_E_NOTALLOC, PROP_E_BADHDR,
        PROP_E_CONF,      PROP_E_CONFREAD,  PROP_E_VLDCREATE, PROP_E_DEPEND,      PROP_E_IMPORTING, PROP_E_BKPFILE,
        PROP_E_MINORITY,  PROP_E_EXISTS,    PROP_E_CORRUPT,   PROP_E_EXPORTEXISTS, PROP_E_EXPORTFILE, PROP_E_OWNERID,
        PROP_E_REPAIRED};
    for (uint32_t c : codes)
        if (rc == c) return true;
    return false;
}

uint32_t expect_documented(const char *what, uint32_t rc)
{
    if (!documented(rc)) fail("%s returned %u, which no caller is told about", what, rc);
    return rc;
}

void configure(const std::string &key_path, const std::vector<std::string> &locations, bool nkv)
{
    int err = 0;
    cfg_key key;
    if (cfg_create_key(key_path.c_str(), &err) != CFG_OK || cfg_open_key(key_path.c_str(), true, &key, &err) != CFG_OK)
        fail("cannot make the configuration key %s (%d)", key_path.c_str(), err);
    for (uint32_t slot = 0; slot < PROP_MAX_LOCATIONS; slot++) {
        const char *value = ut_location_value_name(nkv ? 1 : 0, slot);
        if (value == nullptr) break;
        if (slot < locations.size())
            cfg_set_sz(&key, value, locations[slot].c_str(), &err);
        else
            cfg_delete_value(&key, value, &err);
    }
    if (nkv) cfg_set_sz(&key, "hwk_home", scratch().c_str(), &err);
}

void use_configuration(const std::string &key_path)
{
    ::setenv("ZKV_LOC", key_path.c_str(), 1);
    ::setenv("NKV_LOC", key_path.c_str(), 1);
}

Session::Session(uint32_t level, uint32_t kind) : level_(level)
{
    env();
    meta_ = prop_fe_meta_create();
    fe_meta_ = prop_fe_meta_create();
    cls_ = prop_fe_clsctx_create(kHost);
    sec_ = prop_fe_secctx_create(kUser, kGroup, cls_);
    prop_fe_zkv_opts opts{};
    opts.registry_kind = kind;
    opts.developer_mode = 1;
    opts.boot_level = level;
    opts.group_name = "fuzz";
    zkv_ = prop_fe_zkvctx_create(fe_meta_, sec_, &opts);
    if (meta_ == nullptr || fe_meta_ == nullptr || cls_ == nullptr || sec_ == nullptr || zkv_ == nullptr)
        fail("cannot make the front end's contexts");
    topsec_.userperm = PROP_PERM_ALL_ACCESS;
    topsec_.groupperm = PROP_PERM_READ;
    topsec_.otherperm = PROP_PERM_QUERY_KEY;
    std::snprintf(topsec_.username, sizeof topsec_.username, "%s", kUser);
    std::snprintf(topsec_.groupname, sizeof topsec_.groupname, "%s", kGroup);
}

Session::~Session()
{
    terminate();
    if (uint64_t live = prop_fe_meta_live_blocks(meta_); live != 0)
        fail("%llu blocks left in the meta context after terminate", static_cast<unsigned long long>(live));
    prop_fe_zkvctx_destroy(zkv_);
    prop_fe_secctx_destroy(sec_);
    prop_fe_clsctx_destroy(cls_);
    prop_fe_meta_destroy(fe_meta_);
    prop_fe_meta_destroy(meta_);
}

uint32_t Session::setup()
{
    return expect_documented("prop_setup", prop_setup(&ctx_, sec_, cls_, &topsec_, meta_, zkv_,
                                                      static_cast<int32_t>(level_), nullptr));
}

uint32_t Session::init(void *levelarg)
{
    uint32_t open_flag = 0;
    if (levelarg == nullptr && level_ != PROP_LEVEL_BACKUP) levelarg = &open_flag;
    backend_ctx *out = nullptr;
    uint32_t rc = expect_documented("prop_init", prop_init(&out, meta_, sec_, cls_, level_, zkv_, levelarg));
    if (rc == 0) ctx_ = out;
    return rc;
}

void Session::terminate()
{
    if (ctx_ == nullptr) return;
    if (uint32_t rc = prop_terminate(ctx_, 0); rc != 0) fail("prop_terminate returned %u", rc);
    ctx_ = nullptr;
}

uint32_t walk(backend_ctx *ctx, uint32_t limit)
{
    static std::vector<uint8_t> value(kValueMax);
    std::deque<std::string> todo(std::begin(kTopKeys), std::end(kTopKeys));
    uint32_t visited = 0;
    while (!todo.empty() && visited < limit) {
        std::string name = todo.front();
        todo.pop_front();
        visited++;
        propr_keyhandle *kh = nullptr;
        if (expect_documented("prop_open", prop_open(ctx, name.c_str(), &kh, 0)) != 0) continue;
        uint32_t type = 0, size = 1;
        expect_documented("prop_get_value", prop_get_value(ctx, kh, &type, value.data(), &size, 0));
        size = kValueMax;
        expect_documented("prop_get_value", prop_get_value(ctx, kh, &type, value.data(), &size, 0));
        sec_attr sec{};
        expect_documented("prop_get_security", prop_get_security(ctx, kh, &sec));
        char *names = nullptr;
        uint32_t len = 0, count = 0;
        if (expect_documented("prop_enum_subkey", prop_enum_subkey(ctx, kh, &names, &len, &count, 0)) == 0 &&
            names != nullptr) {
            for (uint32_t off = 0; off < len && names[off] != '\0';) {
                const size_t n = strnlen(names + off, len - off);
                todo.push_back(name + "." + std::string(names + off, n));
                off += static_cast<uint32_t>(n) + 1;
            }
            prop_fe_free_block(ctx->metactx, names);
        }
        expect_documented("prop_close", prop_close(ctx, kh));
    }
    return visited;
}

uint8_t Input::u8()
{
    return p_ < end_ ? *p_++ : 0;
}

uint16_t Input::u16()
{
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
}

uint32_t Input::u32()
{
    uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
}

std::string Input::bytes(size_t n)
{
    n = std::min(n, left());
    std::string out(reinterpret_cast<const char *>(p_), n);
    p_ += n;
    return out;
}

}  // namespace fuzz
