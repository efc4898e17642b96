#include "support/child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char **environ;

FileImage::FileImage(std::string path) : path_(std::move(path))
{
    int fd = ::open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path_;
    if (fd < 0) return;
    size_ = ::lseek(fd, 0, SEEK_END);
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size_; at = ::lseek(fd, at, SEEK_DATA)) {
        off_t end = ::lseek(fd, at, SEEK_HOLE);
        std::string data(static_cast<size_t>(end - at), '\0');
        EXPECT_EQ(::pread(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
        extents_.emplace_back(at, std::move(data));
        at = end;
    }
    ::close(fd);
}

void FileImage::restore() const
{
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path_;
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    ASSERT_EQ(::ftruncate(fd, size_), 0);
    for (const auto &[at, data] : extents_)
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), at), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

void StoreImages::capture(const std::vector<std::string> &paths)
{
    files_.clear();
    for (const std::string &p : paths) files_.emplace_back(p);
}

void StoreImages::restore() const
{
    for (const FileImage &f : files_) f.restore();
}

pid_t spawn(std::vector<std::string> words, const std::string &faults, int out)
{
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"PROPREG_FAULTS=" + faults};
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "PROPREG_FAULTS=", 15) != 0) env.emplace_back(*e);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&fa, out, 1);
        posix_spawn_file_actions_adddup2(&fa, out, 2);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int run_child(const std::string &program, const std::vector<std::string> &args, const std::string &faults)
{
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    const pid_t pid = spawn(words, faults);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
