// The Cache Writer's published configuration, written and read the way the
// cluster's group service keeps group public data on one machine.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "propreg/frontend.h"

namespace {

constexpr size_t kHeader = 8;
constexpr uint32_t kTextMax = 1u << 20;

std::string group_dir()
{
    const char *root = std::getenv("ZKV_REGISTRY_ROOT");
    return std::string(root != nullptr && *root != '\0' ? root : "/etc/propreg/registry") + "/groupdata";
}

std::string public_path(const char *group)
{
    std::string name = std::string("zkv_") + group + ".public";
    for (char &c : name)
        if (c == '/') c = '_';
    return group_dir() + "/" + name;
}

int make_dirs(const std::string &dir)
{
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at != dir.size() && dir[at] != '/') continue;
        if (::mkdir(dir.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

// The whole file; ENOENT when there is none.
int read_file(const std::string &path, std::string *out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buf[4096];
    int err = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > kHeader + kTextMax) {
            err = EINVAL;
            break;
        }
    }
    ::close(fd);
    return err;
}

int write_all(int fd, const std::string &data)
{
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

uint32_t word_at(const std::string &record, size_t at)
{
    uint32_t w = 0;
    std::memcpy(&w, record.data() + at, sizeof w);
    return w;
}

}  // namespace

extern "C" {

int prop_fe_publish_config(const char *group, const char *text)
{
    if (group == nullptr || text == nullptr || std::strlen(text) > kTextMax) return EINVAL;
    const std::string path = public_path(group);
    if (int err = make_dirs(group_dir()); err != 0) return err;
    std::string old;
    uint32_t generation = 0;
    if (read_file(path, &old) == 0 && old.size() >= kHeader) generation = word_at(old, 0);
    generation++;
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    std::string record(kHeader, '\0');
    std::memcpy(record.data(), &generation, sizeof generation);
    std::memcpy(record.data() + 4, &length, sizeof length);
    record += text;
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = write_all(fd, record);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    return err;
}

int prop_fe_publish_locations(const char *group, const char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE])
{
    if (names == nullptr) return EINVAL;
    std::string text;
    for (int i = 0; i < PROP_MAX_LOCATIONS && names[i][0] != '\0'; i++) {
        if (i != 0) text += '>';
        text.append(names[i], strnlen(names[i], PROP_LOCNAME_SIZE - 1));
    }
    return prop_fe_publish_config(group, text.c_str());
}

int prop_fe_published_locations(const char *group, char names[PROP_MAX_LOCATIONS][PROP_LOCNAME_SIZE],
                                uint32_t *generation)
{
    if (group == nullptr || names == nullptr) return EINVAL;
    std::memset(names, 0, PROP_MAX_LOCATIONS * PROP_LOCNAME_SIZE);
    std::string record;
    if (int err = read_file(public_path(group), &record); err != 0) return err;
    if (record.size() < kHeader || word_at(record, 4) != record.size() - kHeader) return EINVAL;
    if (generation != nullptr) *generation = word_at(record, 0);
    const std::string text = record.substr(kHeader);
    size_t at = 0;
    for (int i = 0; at <= text.size() && !text.empty(); i++) {
        size_t end = text.find('>', at);
        if (end == std::string::npos) end = text.size();
        if (i == PROP_MAX_LOCATIONS || end - at >= PROP_LOCNAME_SIZE) return EINVAL;
        std::memcpy(names[i], text.data() + at, end - at);
        at = end + 1;
    }
    return 0;
}

}  // extern "C"
