// A backend handle built by hand over the front end's contexts, with files
// in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/alloc.h"
#include "core/handle.h"
#include "platform/trace.h"
#include "storage/device.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

// 400 MiB: below the size at which a file counts more than the default pages.
constexpr u64 kSmallStoreBytes = 400ull << 20;

class HandleFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        h_ = u_alloc_array<proprhandle>(c_.meta, 1);
        ASSERT_NE(h_, nullptr);
        h_->metactx = c_.meta;
        h_->proprhandle_zkvctx = c_.zkv;
        trace_set_level(trace_component_named(TRACE_OSD), 5);
        trace_capture_start();
    }
    void TearDown() override
    {
        trace_capture_stop();
        trace_set_level(trace_component_named(TRACE_OSD), 0);
        utclose(h_);
        u_freem(c_.meta, h_);
    }

    // A sparse file of the given size.
    std::string make_file(const std::string &name, u64 bytes = kSmallStoreBytes)
    {
        std::string path = dir_.file(name);
        ::make_file(path, bytes);
        return path;
    }
    void set_slot(u32 i, const std::string &name)
    {
        std::snprintf(h_->proprhandle_filename[i], PROP_LOCNAME_SIZE, "%s", name.c_str());
    }

    TempDir dir_;
    Contexts c_{{.developer = false}};
    proprhandle *h_ = nullptr;
};
