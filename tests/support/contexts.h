// The reference front end's contexts a backend runs under, and files read
// and written around the library.  The backend gets a counting meta context
// of its own (the front-end context keeps its error elements in another),
// which must hold no live block when the contexts go.  A fault layer sits
// under every file meanwhile; add rules to it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fault_env.h"
#include "propreg/frontend.h"
#include "propreg/prop.h"

struct ContextOptions {
    const char *hostname = "node1";
    bool nkv = false;
    bool developer = true;  // buffered I/O, file locations
    uint32_t boot_level = 0;
};

class Contexts {
  public:
    explicit Contexts(const ContextOptions &options = {});
    ~Contexts();
    Contexts(const Contexts &) = delete;
    Contexts &operator=(const Contexts &) = delete;

    uint64_t live_blocks() const { return prop_fe_meta_live_blocks(meta); }
    // The calling thread's error element, where component errors land.
    const prop_errelem &error() const;

    FaultEnv faults{env_posix()};
    prop_metactx *const meta = prop_fe_meta_create();
    prop_metactx *const fe_meta = prop_fe_meta_create();
    prop_clsctx *cls = nullptr;
    prop_secctx *sec = nullptr;
    przkv_ctx *zkv = nullptr;
    prop_grpctx *grp = nullptr;

  private:
    Env *previous_env_ = nullptr;
};

// A file's bytes from offset on (fewer at its end, none when it is missing),
// and bytes written over an existing file.
std::string read_at(const std::string &path, uint64_t offset, size_t len);
void write_at(const std::string &path, uint64_t offset, const void *data, size_t len);
// A new (or emptied) sparse file of that size.
void make_file(const std::string &path, uint64_t bytes = 0);
// Sets a string value under a configuration key, making the key.
void set_config_value(const char *key, const char *value, const std::string &data);
