#include "platform/vldsim/admin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string bare(const std::string &dg)
{
    return !dg.empty() && dg[0] == '+' ? dg.substr(1) : dg;
}

std::string dg_dir(const std::string &dg, std::string *why)
{
    const std::string name = bare(dg);
    char path[VLD_PATH_SIZE];
    if (!vld_dg_name_ok(name.c_str(), name.size())) {
        *why = "not a disk-group name: " + dg;
        return "";
    }
    if (!vld_dg_path(name.c_str(), nullptr, path, sizeof path)) {
        *why = "the volume-manager root is too long";
        return "";
    }
    return path;
}

// The disk group's directory, which must exist.
std::string existing_dg(const std::string &dg, std::string *why)
{
    std::string dir = dg_dir(dg, why);
    if (!dir.empty() && !fs::is_directory(dir)) {
        *why = "no disk group " + std::string(1, '+') + bare(dg);
        return "";
    }
    return dir;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Makes dir and the directories above it that are missing, each its
// owner's alone, as the files they will hold.
void make_private_dirs(const std::string &dir, std::error_code &ec)
{
    std::vector<fs::path> missing;
    for (fs::path p = dir; !p.empty() && p != p.parent_path() && !fs::exists(p, ec); p = p.parent_path())
        missing.push_back(p);
    fs::create_directories(dir, ec);
    for (const fs::path &p : missing)
        if (!ec) fs::permissions(p, fs::perms::owner_all, ec);
}

std::string write_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return "cannot write " + path;
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return ec ? "cannot write " + path + ": " + ec.message() : "";
}

std::string set_marker(const std::string &path, bool present)
{
    std::error_code ec;
    if (!present) {
        fs::remove(path, ec);
        return ec ? "cannot remove " + path + ": " + ec.message() : "";
    }
    return write_file(path, "");
}

// Splits a complete name ("+DG/NAME" or a backup's "+DG:NAME"), or a disk
// group alone (its registry file).
std::string resolve(const std::string &name, std::string *dg, std::string *fname)
{
    if (name.empty() || name[0] != '+') return "not a volume-manager name: " + name;
    size_t slash = name.find_first_of("/:");
    *dg = name.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string why;
    std::string dir = existing_dg(*dg, &why);
    if (dir.empty()) return why;
    *fname = slash == std::string::npos ? read_file(dir + "/" + VLD_REGISTRY) : name.substr(slash + 1);
    if (fname->empty()) return name + " names no file";
    if (!vld_fname_ok(fname->c_str())) return "not a file name: " + *fname;
    return "";
}

bool read_header(const std::string &path, vld_file_header *out)
{
    std::string bytes = read_file(path);
    if (bytes.size() < 2 * VLD_HDR_SLOT) bytes.resize(2 * VLD_HDR_SLOT);
    return vld_header_pick(reinterpret_cast<const u8 *>(bytes.data()), out);
}

vld_admin_file describe_file(const fs::path &dir, const std::string &name, const std::string &registry)
{
    vld_admin_file f;
    f.name = name;
    f.registry = name == registry;
    vld_file_header h;
    f.whole = read_header((dir / name).string(), &h);
    if (!f.whole) return f;
    f.committed = h.committed != 0;
    f.kind = h.kind;
    f.block_size = h.block_size;
    f.mirrors = h.mirrors;
    f.growth = h.growth;
    f.max_blocks = h.max_blocks;
    std::error_code ec;
    const auto bytes = fs::file_size(dir / (name + ".m1"), ec);
    f.blocks = ec ? 0 : bytes / h.block_size;
    return f;
}

vld_admin_dg describe_dg(const fs::path &dir)
{
    vld_admin_dg dg;
    dg.name = "+" + dir.filename().string();
    dg.mounted = fs::exists(dir / VLD_MOUNTED);
    dg.full = fs::exists(dir / VLD_FULL);
    vld_attrs_parse(read_file((dir / VLD_ATTRS).string()).c_str(), &dg.attrs);
    const std::string registry = read_file((dir / VLD_REGISTRY).string());
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code file_ec;
        if (!it->is_regular_file(file_ec)) continue;
        const std::string rel = fs::relative(it->path(), dir).string();
        if (rel[0] == '.' || vld_is_copy_name(rel.c_str()) || rel.find(".tmp") != std::string::npos) continue;
        dg.files.push_back(describe_file(dir, rel, registry));
    }
    std::sort(dg.files.begin(), dg.files.end(),
              [](const vld_admin_file &a, const vld_admin_file &b) { return a.name < b.name; });
    return dg;
}

}  // namespace

std::string vld_admin_root()
{
    char root[VLD_PATH_SIZE];
    return vld_root_dir(root, sizeof root) ? root : "";
}

std::string vld_admin_create_dg(const std::string &dg, u32 copies, bool sync)
{
    if (copies == 0 || copies > VLD_MAX_MIRRORS) return "a disk group keeps 1 to 6 mirror copies";
    std::string why;
    std::string dir = dg_dir(dg, &why);
    if (dir.empty()) return why;
    if (fs::exists(dir)) return "disk group +" + bare(dg) + " already exists";
    std::error_code ec;
    make_private_dirs(dir, ec);
    if (ec) return "cannot create " + dir + ": " + ec.message();
    char attrs[VLD_ATTRS_TEXT];
    vld_attrs_format(vld_dg_attrs{copies, sync}, attrs);
    if (std::string w = write_file(dir + "/" + VLD_ATTRS, attrs); !w.empty()) return w;
    return set_marker(dir + "/" + VLD_MOUNTED, true);
}

std::string vld_admin_remove_dg(const std::string &dg)
{
    std::string why;
    std::string dir = existing_dg(dg, &why);
    if (dir.empty()) return why;
    std::error_code ec;
    fs::remove_all(dir, ec);
    return ec ? "cannot remove " + dir + ": " + ec.message() : "";
}

std::string vld_admin_mount(const std::string &dg, bool mounted)
{
    std::string why;
    std::string dir = existing_dg(dg, &why);
    return dir.empty() ? why : set_marker(dir + "/" + VLD_MOUNTED, mounted);
}

std::string vld_admin_fill(const std::string &dg, bool full)
{
    std::string why;
    std::string dir = existing_dg(dg, &why);
    return dir.empty() ? why : set_marker(dir + "/" + VLD_FULL, full);
}

std::string vld_admin_instance(bool up)
{
    const std::string root = vld_admin_root();
    if (root.empty()) return "the volume-manager root is too long";
    std::error_code ec;
    make_private_dirs(root, ec);
    if (ec) return "cannot create " + root + ": " + ec.message();
    return set_marker(root + "/" + VLD_INSTANCE_DOWN, !up);
}

bool vld_admin_instance_up()
{
    return !fs::exists(vld_admin_root() + "/" + VLD_INSTANCE_DOWN);
}

std::string vld_admin_copy_path(const std::string &name, u32 mirror, std::string *out)
{
    std::string dg, fname;
    if (std::string why = resolve(name, &dg, &fname); !why.empty()) return why;
    char path[VLD_PATH_SIZE];
    if (mirror == 0 || mirror > VLD_MAX_MIRRORS || !vld_mirror_path(dg.c_str(), fname.c_str(), mirror, path, sizeof path))
        return "no mirror copy " + std::to_string(mirror);
    *out = path;
    return "";
}

std::string vld_admin_remove_file(const std::string &name)
{
    std::string dg, fname;
    if (std::string why = resolve(name, &dg, &fname); !why.empty()) return why;
    std::error_code ec;
    for (u32 m = 1; m <= VLD_MAX_MIRRORS; m++) {
        char path[VLD_PATH_SIZE];
        if (vld_mirror_path(dg.c_str(), fname.c_str(), m, path, sizeof path)) fs::remove(path, ec);
    }
    char header[VLD_PATH_SIZE];
    if (!vld_dg_path(dg.c_str(), fname.c_str(), header, sizeof header) || !fs::remove(header, ec))
        return "cannot remove " + name + (ec ? ": " + ec.message() : "");
    return "";
}

std::string vld_admin_damage(const std::string &name, u32 mirror, u64 block)
{
    std::string path;
    if (std::string why = vld_admin_copy_path(name, mirror, &path); !why.empty()) return why;
    std::string dg, fname;
    resolve(name, &dg, &fname);
    vld_file_header h;
    char header[VLD_PATH_SIZE];
    if (!vld_dg_path(dg.c_str(), fname.c_str(), header, sizeof header) || !read_header(header, &h))
        return "no file " + name;
    if (mirror > h.mirrors) return name + " has " + std::to_string(h.mirrors) + " mirror copies";
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    std::string buf(h.block_size, '\0');
    const off_t at = static_cast<off_t>(block * h.block_size);
    bool ok = ::pread(fd, buf.data(), buf.size(), at) == static_cast<ssize_t>(buf.size());
    for (char &c : buf) c = static_cast<char>(~c);
    ok = ok && ::pwrite(fd, buf.data(), buf.size(), at) == static_cast<ssize_t>(buf.size());
    ::close(fd);
    return ok ? "" : "block " + std::to_string(block) + " of mirror copy " + std::to_string(mirror) + " of " + name +
                         " cannot be damaged (past the end?)";
}

std::string vld_admin_list(std::vector<vld_admin_dg> *out)
{
    out->clear();
    const std::string root = vld_admin_root();
    std::error_code ec;
    if (root.empty() || !fs::is_directory(root)) return "";
    for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code dir_ec;
        if (it->is_directory(dir_ec) && vld_dg_name_ok(name.c_str(), name.size()))
            out->push_back(describe_dg(it->path()));
    }
    if (ec) return "cannot list " + root + ": " + ec.message();
    std::sort(out->begin(), out->end(), [](const vld_admin_dg &a, const vld_admin_dg &b) { return a.name < b.name; });
    return "";
}

std::string vld_admin_host_files(const std::string &dg, std::vector<std::string> *out)
{
    std::string why;
    std::string dir = existing_dg(dg, &why);
    if (dir.empty()) return why;
    out->clear();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (std::error_code file_ec; it->is_regular_file(file_ec)) out->push_back(it->path().string());
    std::sort(out->begin(), out->end());
    return ec ? "cannot list " + dir + ": " + ec.message() : "";
}
