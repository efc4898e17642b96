// What the crash tests need around a child process: the store's files put
// back exactly as they were before each run, and a program run under
// fault rules of its own ($PROPREG_FAULTS), so that it may die at any
// write while the test process goes on.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// A sparse file's size and the extents that hold data: the store's files
// are large and almost all hole, so this is how a sweep starts each run
// from the same store.
class FileImage {
  public:
    explicit FileImage(std::string path);
    void restore() const;
    const std::string &path() const { return path_; }
    bool operator==(const FileImage &other) const { return size_ == other.size_ && extents_ == other.extents_; }

  private:
    std::string path_;
    off_t size_ = 0;
    std::vector<std::pair<off_t, std::string>> extents_;
};

// Every location file of a store, captured at once.
class StoreImages {
  public:
    void capture(const std::vector<std::string> &paths);
    void restore() const;

  private:
    std::vector<FileImage> files_;
};

// Starts words[0] with words as its argv and the fault rules (none when
// empty) in place of any inherited ones; its stdout and stderr go to out
// unless that is -1.  The child's pid, or -1.
pid_t spawn(std::vector<std::string> words, const std::string &faults = "", int out = -1);
// Runs program with args and the fault rules (none when empty) in place of
// any inherited ones; its exit status, or -1 when it did not exit (a
// signal) or could not be started.
int run_child(const std::string &program, const std::vector<std::string> &args, const std::string &faults);
