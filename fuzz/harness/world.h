// What every fuzz target stands on: one process-wide in-memory Env whose
// files live under /mem, a configuration root in a scratch directory, the
// reference front end's contexts, and the bar each input must clear (no
// code outside the documented ones, no block left in the meta context, no
// write where a refusal must leave the store alone).  A broken bar ends the
// process with a message, so the fuzzer keeps the input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "propreg/frontend.h"
#include "propreg/prop.h"
#include "harness/mem_env.h"

namespace fuzz {

constexpr const char *kMemRoot = "/mem";
constexpr const char *kUser = "fuzz";
constexpr const char *kGroup = "fuzzgrp";
constexpr const char *kHost = "fuzzhost";

[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Sets the world up on first use: scratch directory (tmpfs when there is
// one), the environment the library reads (developer mode, configuration
// root; a trace file only when $ZKV_TRACE_FILE names one), and the
// in-memory Env installed.
MemEnv &env();
const std::string &scratch();

// True for the codes a caller may see: 0 and the PROP_E_* vocabulary.
bool documented(uint32_t rc);
// Fails unless rc is documented; returns rc.
uint32_t expect_documented(const char *what, uint32_t rc);

// Writes a ZKV (or NKV) configuration key, key_path relative to the
// configuration root, whose location values name the locations.
void configure(const std::string &key_path, const std::vector<std::string> &locations, bool nkv = false);
// Points the developer-mode location path at key_path.
void use_configuration(const std::string &key_path);

// The contexts of one caller, with a fresh meta context whose live blocks
// must be none when the session ends.
class Session {
  public:
    explicit Session(uint32_t level = PROP_LEVEL_RW, uint32_t kind = PROP_KIND_ZKV);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // prop_setup / prop_init at the session's level; the codes are checked.
    uint32_t setup();
    uint32_t init(void *levelarg = nullptr);
    // Terminates an open context (a failure is a finding).
    void terminate();

    backend_ctx *ctx() const { return ctx_; }
    prop_metactx *meta() const { return meta_; }
    prop_secctx *sec() const { return sec_; }
    const sec_attr &top_security() const { return topsec_; }
    uint32_t level() const { return level_; }

  private:
    uint32_t level_;
    prop_metactx *meta_;
    prop_metactx *fe_meta_;
    prop_clsctx *cls_;
    prop_secctx *sec_;
    przkv_ctx *zkv_;
    sec_attr topsec_{};
    backend_ctx *ctx_ = nullptr;
};

// Visits up to limit keys from the top keys down: open, value, security,
// subkeys, close; an error only ends that key's visit.  The keys visited.
uint32_t walk(backend_ctx *ctx, uint32_t limit);

// Reads the input front to back; past the end every read gives zeros.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    // Up to n bytes (fewer at the end).
    std::string bytes(size_t n);
    std::string rest() { return bytes(left()); }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// Builds an input the way Input reads it (for the seed generator).
class Output {
  public:
    Output &u8(uint8_t v) { return put(v, 1); }
    Output &u16(uint16_t v) { return put(v, 2); }
    Output &u32(uint32_t v) { return put(v, 4); }
    Output &bytes(const std::string &b)
    {
        s_ += b;
        return *this;
    }
    const std::string &str() const { return s_; }

  private:
    Output &put(uint64_t v, int n)
    {
        for (int i = 0; i < n; i++) s_.push_back(static_cast<char>(v >> (8 * i)));
        return *this;
    }
    std::string s_;
};

}  // namespace fuzz
