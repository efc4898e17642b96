// Failures an operator meets: each names its real cause (the file and why
// it cannot be used, the disk group) with an exit status of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "propctl_run.h"

namespace {

TEST(PropctlErrors, AFullDiskAFileSizeLimitAndTooManyOpenFilesNameTheFile)
{
    Propctl p({"init"});
    const std::string location = p.root() + "/data/local.store";

    const RunOptions enospc{.faults = "fail_write:nth=1,errno=ENOSPC,times=0"};
    EXPECT_TRUE(exits(p.run({"set", "SYSTEM.a", "v"}, enospc), 1,
                      "no space left on the device of " + location + ": error 26"));

    // The limit is inherited by the child and given back at once; the
    // signal it raises would end propctl without a word.
    std::unique_ptr<Child> child;
    {
        struct rlimit old, small = {1 << 20, 1 << 20};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        small.rlim_max = old.rlim_max;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        child = p.spawn({"set", "SYSTEM.a", "v"});
        setrlimit(RLIMIT_FSIZE, &old);
    }
    EXPECT_TRUE(exits(child->wait(), 1, location + " would grow past this process's file-size limit of 1048576 bytes"));

    // A file the command makes is the one that lacks room; values big
    // enough to fill a chunk of the export are not blamed for it.
    const std::string big(60000, 'b');
    for (const char *k : {"SYSTEM.b1", "SYSTEM.b2", "SYSTEM.b3"}) p.ok({"set", k, big});
    const std::string out = p.dir().file("out.export");
    RunResult full = p.run({"export", out}, RunOptions{.faults = enospc.faults + ",path=out.export"});
    EXPECT_TRUE(exits(full, 1, "no space left on the device of " + out + ": err"));
    EXPECT_EQ(full.err.find("a record holds"), std::string::npos) << full.err;

    // A configuration value that cannot be read (24: out of file
    // descriptors) is not a missing one.
    Propctl c({"init", "--cluster", "--dev"});
    RunResult r = c.run({"get", "SYSTEM.a"}, RunOptions{.faults = "fail_open:nth=1,errno=24,times=0,path=zkvconfig_loc"});
    EXPECT_TRUE(exits(r, 1, "registry value. Too many open files (this process may open "));
    EXPECT_TRUE(holds(r.err, "error 42:"));
}

// A store made before its files were private: another user may reach it,
// but its location file was taken away from others.  Tests run as root
// become nobody for the command; root itself is never refused.
TEST(PropctlErrors, APermissionDeniedNamesTheFileAndItsOwner)
{
    Propctl p({"init"});
    const std::string location = p.root() + "/data/local.store";
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to run as another user";
        launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const std::string &d : {p.dir().path(), p.root(), p.root() + "/data", p.root() + "/SOFTWARE"})
            ::chmod(d.c_str(), 0755);
        for (const auto &e : std::filesystem::recursive_directory_iterator(p.root() + "/SOFTWARE"))
            ::chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
        ::chmod((p.root() + "/propctl.lock").c_str(), 0666);
    } else {
        ::chmod(location.c_str(), 0);
    }
    RunResult r = p.run({"get", "SYSTEM"}, RunOptions{.launcher = launcher});
    EXPECT_TRUE(exits(r, 5, "permission denied on " + location + " (owner "));
    EXPECT_TRUE(holds(r.err, "run propctl as a user who may read and write it: error 26"));
}

// With one disk group the damaged copy leaves no valid format at all; with
// two the other location still opens: a writer heals both.
TEST(PropctlErrors, ADamagedBootBlockCopyIsNamedAndAWriterTakesAGoodOne)
{
    for (const auto &init : std::vector<std::vector<std::string>>{
             {"init", "--cluster", "--disk-group", "+DATA"},
             {"init", "--cluster", "--disk-group", "+DATA", "--disk-group", "+MIRR"}}) {
        SCOPED_TRACE(init.size());
        Propctl p(init);
        p.ok({"vld", "damage", "+DATA"});
        const std::string damaged = "mirror copy 1 of the boot block of +DATA/registry.255.1 is damaged";
        EXPECT_TRUE(exits(p.run({"get", "SYSTEM"}), 6,
                          damaged + ": 'propctl info', or any command that writes, takes a good copy"));
        EXPECT_TRUE(exits(p.run({"set", "SYSTEM.k", "w"}), 0, damaged + ": taking a good copy"));
        EXPECT_EQ(p.ok({"get", "SYSTEM.k"}), "w\n");
    }
}

// A failure the fault layer made must never pass for the disks' own: the
// trace of every process the environment switches it on in says so.
TEST(PropctlErrors, TheTraceSaysWhenTheEnvironmentSwitchesFaultsOn)
{
    Propctl p({"init"});
    const std::string trace = p.dir().file("trace");
    p.set_env("ZKV_TRACE_FILE", trace);
    auto traced = [&] { return read_file(trace); };
    p.ok({"get", "SYSTEM"});
    EXPECT_FALSE(holds(traced(), "PROPREG_FAULTS"));
    p.set_env("PROPREG_FAULTS", "delay:us=1");
    p.ok({"get", "SYSTEM"});
    EXPECT_TRUE(holds(traced(), "fault layer on from PROPREG_FAULTS [delay:us=1]"));
    p.set_env("PROPREG_FAULTS", "no_such_fault");
    p.ok({"get", "SYSTEM"});
    EXPECT_TRUE(holds(traced(), "ignoring unusable PROPREG_FAULTS [no_such_fault]"));
}

}  // namespace
