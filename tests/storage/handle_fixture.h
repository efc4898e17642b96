// A backend handle built by hand over a counting meta context, with a
// fault layer installed and files in a temporary directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/alloc.h"
#include "core/error.h"
#include "core/handle.h"
#include "platform/env.h"
#include "platform/fault_env.h"
#include "platform/trace.h"
#include "propreg/frontend.h"
#include "storage/device.h"
#include "support/tmpdir.h"

// 400 MiB: below the size at which a file counts more than the default pages.
constexpr u64 kSmallStoreBytes = 400ull << 20;

class HandleFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        meta_ = prop_fe_meta_create();
        h_ = u_alloc_array<proprhandle>(meta_, 1);
        ASSERT_NE(h_, nullptr);
        h_->metactx = meta_;
        fe_meta_ = prop_fe_meta_create();
        sec_ = prop_fe_secctx_create("tester", "testers", nullptr);
        zkv = prop_fe_zkvctx_create(fe_meta_, sec_, nullptr);
        ASSERT_NE(zkv, nullptr);
        h_->proprhandle_zkvctx = zkv;
        previous_ = env_install(&fault_);
        trace_set_level(trace_component_named(TRACE_OSD), 5);
        trace_capture_start();
    }
    void TearDown() override
    {
        trace_capture_stop();
        trace_set_level(trace_component_named(TRACE_OSD), 0);
        utclose(h_);
        u_freem(meta_, h_);
        EXPECT_EQ(prop_fe_meta_live_blocks(meta_), 0u);
        prop_fe_meta_destroy(meta_);
        prop_fe_zkvctx_destroy(zkv);
        prop_fe_secctx_destroy(sec_);
        prop_fe_meta_destroy(fe_meta_);
        env_install(previous_);
    }

    // A sparse file of the given size.
    std::string make_file(const std::string &name, u64 bytes = kSmallStoreBytes)
    {
        std::string path = dir_.file(name);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
        ::close(fd);
        return path;
    }
    static std::string read_raw(const std::string &path, u64 off, size_t len)
    {
        std::string s(len, '\0');
        int fd = ::open(path.c_str(), O_RDONLY);
        ssize_t n = ::pread(fd, s.data(), len, static_cast<off_t>(off));
        ::close(fd);
        s.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return s;
    }
    static void write_raw(const std::string &path, u64 off, const std::string &data)
    {
        int fd = ::open(path.c_str(), O_RDWR);
        EXPECT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(off)),
                  static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    void set_slot(u32 i, const std::string &name)
    {
        std::snprintf(h_->proprhandle_filename[i], PROP_LOCNAME_SIZE, "%s", name.c_str());
    }

    TempDir dir_;
    prop_metactx *meta_ = nullptr;
    proprhandle *h_ = nullptr;
    // The calling thread's error element, where component errors land.
    const prop_errelem &comp_error()
    {
        prop_errelem *e = nullptr;
        u_get_error(zkv, nullptr, &e);
        return *e;
    }
    prop_metactx *fe_meta_ = nullptr;
    prop_secctx *sec_ = nullptr;
    przkv_ctx *zkv = nullptr;
    FaultEnv fault_{env_posix()};
    Env *previous_ = nullptr;
};
