// A backend context with an empty handle over the reference front end, and
// test doubles for the operation table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "api/ops.h"
#include "core/error.h"
#include "core/handle.h"
#include "propreg/frontend.h"

// Every double counts its calls, keeps its last u32 argument (the flags,
// where the operation takes them) and answers g_double_rc.
inline int g_double_calls = 0;
inline u32 g_double_rc = 0;
inline u32 g_double_flags = 0;

template <class T>
void keep_flags([[maybe_unused]] T arg)
{
    if constexpr (std::is_same_v<T, u32>) g_double_flags = arg;
}

template <class... A>
u32 counting_double(A... args)
{
    g_double_calls++;
    (keep_flags(args), ...);
    return g_double_rc;
}

template <class... A>
void put_double(u32 (*&slot)(A...))
{
    slot = &counting_double<A...>;
}

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        saved_ops_ = g_prop_ops;
        g_double_calls = 0;
        g_double_rc = 0;
        meta = prop_fe_meta_create();
        cls = prop_fe_clsctx_create("node1");
        sec = prop_fe_secctx_create("alice", "staff", cls);
        make_zkv(PROP_KIND_ZKV);
        handle = new proprhandle{};
        ctx = new backend_ctx{};
        std::memcpy(ctx->prop_ctx_tag, "PROPCTXT", 9);
        pthread_rwlock_init(&ctx->prop_rwlock, nullptr);
        ctx->propb_ctx = handle;
        ctx->metactx = meta;
        ctx->prop_sctx = sec;
        ctx->prop_ctx_zkvctx = zkv;
    }
    void TearDown() override
    {
        g_prop_ops = saved_ops_;
        pthread_rwlock_destroy(&ctx->prop_rwlock);
        delete ctx;
        delete handle;
        prop_fe_zkvctx_destroy(zkv);
        EXPECT_EQ(prop_fe_meta_live_blocks(meta), 0u);
        prop_fe_secctx_destroy(sec);
        prop_fe_clsctx_destroy(cls);
        prop_fe_meta_destroy(meta);
    }

    void make_zkv(u32 kind)
    {
        if (zkv != nullptr) prop_fe_zkvctx_destroy(zkv);
        prop_fe_zkv_opts o{};
        o.registry_kind = kind;
        zkv = prop_fe_zkvctx_create(meta, sec, &o);
        if (ctx != nullptr) ctx->prop_ctx_zkvctx = zkv;
    }
    // The code last recorded for the calling thread (0: none).
    u32 recorded()
    {
        prop_errelem *e = nullptr;
        u_get_error(zkv, nullptr, &e);
        return e != nullptr ? e->code : 0;
    }
    void at_level(u32 level) { ctx->prop_boot_mode = level; }

    prop_metactx *meta = nullptr;
    prop_clsctx *cls = nullptr;
    prop_secctx *sec = nullptr;
    przkv_ctx *zkv = nullptr;
    proprhandle *handle = nullptr;
    backend_ctx *ctx = nullptr;

  private:
    prop_ops saved_ops_{};
};
