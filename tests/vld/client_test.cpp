// The volume-manager client on its own: files that grow and stop growing,
// mirror copies, disk groups and an instance that go away, and two-phase
// creation.
#include <cstring>
#include <vector>

#include "platform/fault_env.h"
#include "platform/vldsim/admin.h"
#include "platform/vldsim/client.h"
#include "support/tmpdir.h"
#include "vld_fixture.h"

namespace {

class VldClient : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(vld_admin_create_dg("+DG", 2, false), "");
        ctx = vld_create_context(&err, 0, nullptr, nullptr);
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override
    {
        for (vld_file *f : open_files) vld_close_file(&err, ctx, f, 1);
        EXPECT_EQ(vld_destroy_context(&err, ctx, 1), 0u);
        env_install(previous);
    }
    vld_file *create(const char *name, u64 blocks)
    {
        vld_file *f = nullptr;
        EXPECT_EQ(vld_create_file(&err, ctx, "DG", name, 4096, blocks, VLD_KIND_BACKUP, nullptr, 0, &f), 0u)
            << err.message;
        if (f != nullptr) open_files.push_back(f);
        return f;
    }
    u32 io(vld_file *f, u32 op, u64 block, u32 count, void *buf, u32 mirror = 0)
    {
        vld_request r{f, buf, block, op, count, mirror, 0};
        return vld_io(&err, ctx, &r, 1);
    }
    u64 blocks(vld_file *f)
    {
        u64 n = 0;
        u32 bs = 0;
        EXPECT_EQ(vld_get_size(&err, ctx, f, &n, &bs), 0u);
        return n;
    }

    TempDir dir;
    ScopedEnv root{"ZKV_VLD_ROOT", dir.file("vld").c_str()};
    FaultEnv faults{env_posix()};
    Env *previous = env_install(&faults);
    vld_error err{};
    vld_context *ctx = nullptr;
    std::vector<vld_file *> open_files;
};

TEST_F(VldClient, AFileGrowsByItsStepUpToItsMaximumAndNotInAFullDiskGroup)
{
    vld_file *f = create("grow", 10);
    ASSERT_EQ(vld_control(&err, ctx, f, VLD_CTL_GROWTH, 8), 0u);
    ASSERT_EQ(vld_control(&err, ctx, f, VLD_CTL_MAX_BLOCKS, 30), 0u);
    std::vector<u8> buf(4 * 4096, 0x11);
    EXPECT_EQ(io(f, VLD_OP_WRITE, 11, 2, buf.data()), 0u);
    EXPECT_EQ(blocks(f), 18u) << "one step covers blocks 11 and 12";
    EXPECT_EQ(io(f, VLD_OP_WRITE, 28, 2, buf.data()), 0u);
    EXPECT_EQ(blocks(f), 30u) << "the last step stops at the maximum";
    EXPECT_EQ(io(f, VLD_OP_WRITE, 29, 2, buf.data()), VLD_EFULL);
    EXPECT_EQ(blocks(f), 30u);

    ASSERT_EQ(vld_control(&err, ctx, f, VLD_CTL_MAX_BLOCKS, 100), 0u);
    ASSERT_EQ(vld_admin_fill("+DG", true), "");
    EXPECT_EQ(io(f, VLD_OP_WRITE, 30, 1, buf.data()), VLD_EFULL);
    EXPECT_EQ(io(f, VLD_OP_WRITE, 0, 4, buf.data()), 0u) << "blocks the file has need no space";
    ASSERT_EQ(vld_admin_fill("+DG", false), "");

    // A read that runs past the end reads what lies before it and leaves
    // the rest of the buffer alone.
    std::vector<u8> in(4 * 4096, 0x77);
    EXPECT_EQ(io(f, VLD_OP_READ, 28, 4, in.data()), VLD_EBEYOND);
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[2 * 4096], 0x77);
}

TEST_F(VldClient, WritesReachEveryCopyAndReadsPassOverACopyThatFails)
{
    vld_file *f = create("mirrored", 4);
    std::vector<u8> out(4096, 0x42), in(4096);
    ASSERT_EQ(io(f, VLD_OP_WRITE, 1, 1, out.data()), 0u);
    for (u32 m : {1u, 2u}) {
        std::fill(in.begin(), in.end(), 0);
        EXPECT_EQ(io(f, VLD_OP_READ, 1, 1, in.data(), m), 0u);
        EXPECT_EQ(in, out) << "copy " << m;
    }
    EXPECT_EQ(io(f, VLD_OP_READ, 1, 1, in.data(), 3), VLD_ENOMIRROR);

    ASSERT_EQ(vld_admin_damage("+DG/mirrored", 1, 1), "");
    EXPECT_EQ(io(f, VLD_OP_READ, 1, 1, in.data(), 1), 0u);
    EXPECT_NE(in, out) << "only copy 1 was damaged";
    EXPECT_EQ(io(f, VLD_OP_READ, 1, 1, in.data(), 2), 0u);
    EXPECT_EQ(in, out);

    ASSERT_EQ(faults.load("fail_read:nth=1,errno=EIO,times=0,path=mirrored.m1"), 0);
    std::fill(in.begin(), in.end(), 0);
    EXPECT_EQ(io(f, VLD_OP_READ, 1, 1, in.data()), 0u);
    EXPECT_EQ(in, out) << "read from copy 2";
}

TEST_F(VldClient, AnUnmountedDiskGroupAnswers6AndADownInstance7)
{
    vld_file *f = create("avail", 4);
    std::vector<u8> buf(4096);
    ASSERT_EQ(vld_admin_mount("+DG", false), "");
    EXPECT_EQ(io(f, VLD_OP_READ, 0, 1, buf.data()), VLD_ENODG);
    EXPECT_EQ(vld_check_handle(&err, ctx, f), VLD_ENODG);
    vld_file *g = nullptr;
    EXPECT_EQ(vld_open_file(&err, ctx, "DG", "avail", 4096, VLD_MODE_RW, VLD_KIND_ANY, nullptr, 0, &g), VLD_ENODG);
    ASSERT_EQ(vld_admin_mount("+DG", true), "");
    EXPECT_EQ(vld_check_mount(&err, ctx, "NODG"), VLD_ENODG);

    ASSERT_EQ(vld_admin_instance(false), "");
    EXPECT_EQ(io(f, VLD_OP_READ, 0, 1, buf.data()), VLD_EDOWN);
    EXPECT_EQ(vld_check_mount(&err, ctx, "DG"), VLD_EDOWN);
    vld_error other{};
    EXPECT_EQ(vld_create_context(&other, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(other.status, VLD_EDOWN);
    ASSERT_EQ(vld_admin_instance(true), "");

    // A link to the instance that breaks stays broken for the context.
    ASSERT_EQ(faults.load("fail_write:nth=1,errno=107,path=avail.m"), 0);
    EXPECT_EQ(io(f, VLD_OP_WRITE, 0, 1, buf.data()), VLD_EDOWN);
    EXPECT_EQ(io(f, VLD_OP_READ, 0, 1, buf.data()), VLD_EDOWN);
    vld_context *fresh = vld_create_context(&other, 0, nullptr, nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(vld_check_handle(&other, fresh, f), 0u);
    vld_destroy_context(&other, fresh, 1);
}

TEST_F(VldClient, ARegistryFileExistsOnlyOnceCommittedAndSurvivesATornHeaderWrite)
{
    vld_file *f = nullptr;
    char name[PROP_LOCNAME_SIZE];
    ASSERT_EQ(vld_create_file_2p(&err, ctx, "DG", 4096, 8, VLD_KIND_REGISTRY, name, sizeof name, &f), 0u);
    open_files.push_back(f);
    EXPECT_STREQ(name, "+DG/registry.255.1");
    char reg[PROP_LOCNAME_SIZE];
    EXPECT_EQ(vld_get_registry_name(&err, ctx, "DG", reg, sizeof reg), VLD_ENOFILE);
    vld_file *g = nullptr;
    EXPECT_EQ(vld_open_file(&err, ctx, "DG", "", 4096, VLD_MODE_RW, VLD_KIND_REGISTRY, nullptr, 0, &g), VLD_ENOFILE);
    ASSERT_EQ(vld_commit_file_2p(&err, ctx, f), 0u);
    EXPECT_EQ(vld_get_registry_name(&err, ctx, "DG", reg, sizeof reg), 0u);
    EXPECT_STREQ(reg, "+DG/registry.255.1");

    // Each header change goes to the slot the last one did not use.
    ASSERT_EQ(vld_control(&err, ctx, f, VLD_CTL_GROWTH, 3), 0u);
    ASSERT_EQ(faults.load("tear:nth=1,bytes=20,path=registry.255.1"), 0);
    vld_control(&err, ctx, f, VLD_CTL_GROWTH, 5);
    faults.reset();
    ASSERT_EQ(vld_open_file(&err, ctx, "DG", "", 4096, VLD_MODE_RW, VLD_KIND_REGISTRY, nullptr, 0, &g), 0u);
    open_files.push_back(g);
    vld_file_status s{};
    vld_file_describe(g, &s);
    EXPECT_EQ(s.growth, 3u);
}

}  // namespace
