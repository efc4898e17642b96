#include "pages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

#include "format/block.h"
#include "format/cursor.h"
#include "format/layout.h"
#include "format/storemap.h"
#include "space/bitmap.h"
#include "tree/kce_pages.h"
#include "tree/slotted.h"
#include "tree/tnode.h"

namespace {

using Page = std::array<u8, PROP_PAGE_SIZE>;

i32 off(u32 v)
{
    return static_cast<i32>(v);
}

// What one location holds, as far as the walk saw it.
struct Seen {
    u32 commit_lsn = 0;
    std::map<u32, Page> tree;  // tnode-area pages reached, by page number
    std::vector<Page> bitmaps;
};

class Location {
  public:
    Location(const std::string &path, std::vector<std::string> *faults) : path_(path), faults_(faults)
    {
        fd_ = ::open(path.c_str(), O_RDONLY);
        if (fd_ < 0) fault("cannot open the file");
    }
    ~Location()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Location(const Location &) = delete;
    Location &operator=(const Location &) = delete;

    bool check(Seen *seen)
    {
        if (fd_ < 0) return false;
        Page boot;
        if (!block(0, PROPR_BLK_METADATA, "boot block", &boot)) return false;
        selector_ = boot[BOOT_OFF_SUPER_SELECTOR];
        num_fcl_ = be32_at(boot.data(), BOOT_OFF_NUM_FCL);
        lsst_ = be32_at(boot.data(), BOOT_OFF_LSST);
        rtnst_ = be32_at(boot.data(), BOOT_OFF_RTNST);
        numpage_ = be32_at(boot.data(), BOOT_OFF_NUMPAGE);
        seen->commit_lsn = be32_at(boot.data(), BOOT_OFF_COMMIT_LSN);
        if (selector_ > 1 || num_fcl_ == 0 || num_fcl_ > PROPR_MAX_FCL) return fault("bad store map in the boot block");
        // The log metadata and the name pages are rewritten in place, so a
        // torn write may leave them failing their checksum; no reader
        // checks it there (a torn name entry belongs to a transaction that
        // never committed, and the log is rewritten at the next begin).
        Page meta, names;
        block(lsst_, PROPR_BLK_METADATA, "log metadata", &meta, false);
        // Recovery has run: no log is left marked live, not even one with
        // nothing to undo.
        if (boot[BOOT_OFF_LOG_VALID] != 0) fault("the undo log is still marked live");
        block(be32_at(boot.data(), BOOT_OFF_ODBST), PROPR_BLK_DB, "owner names", &names, false);
        block(be32_at(boot.data(), BOOT_OFF_GDBST), PROPR_BLK_DB, "group names", &names, false);
        if (!load_bitmaps(seen)) return false;
        walk(seen);
        compare_bitmaps(*seen);
        return true;
    }

  private:
    bool fault(const std::string &what)
    {
        faults_->push_back(path_.substr(path_.rfind('/') + 1) + ": " + what);
        return false;
    }

    bool read(u32 addr, Page *p)
    {
        ssize_t n = ::pread(fd_, p->data(), p->size(), static_cast<off_t>(addr) + PROPR_RESERVED_PREFIX);
        return n == static_cast<ssize_t>(p->size());
    }

    // Reads the block at addr and checks its header (type, block number)
    // and, unless told not to, its checksum.
    bool block(u32 addr, u32 type, const std::string &what, Page *p, bool checksum = true)
    {
        if (!read(addr, p)) return fault(what + " cannot be read");
        propr_hdr hdr;
        std::memcpy(&hdr, p->data(), sizeof hdr);
        if (proprut_isblk_valid(&hdr, type) == 0) return fault(what + ": bad header");
        if (hdr.propr_hdr_blocknum != (addr >> 12) + PROPR_BLOCKNUM_BIAS)
            return fault(what + ": header names block " + std::to_string(hdr.propr_hdr_blocknum));
        if (checksum && hdr_verify_checksum(p->data(), PROP_PAGE_SIZE) != 0) return fault(what + ": checksum fails");
        return true;
    }

    bool load_bitmaps(Seen *seen)
    {
        Page super;
        if (!block(PROP_PAGE_SIZE * (1 + selector_), PROPR_BLK_METADATA, "superblock", &super)) return false;
        for (u32 i = 0; i < num_fcl_; i++) {
            u32 copy = be32_at(super.data(), SUPER_OFF_FREE_SPACE_ADDR + 4 * off(i));
            if (copy > 1) return fault("superblock names copy " + std::to_string(copy) + " of bitmap " + std::to_string(i));
            Page map;
            if (!block(propr_fcl_addr(i, copy), PROPR_BLK_METADATA, "bitmap " + std::to_string(i), &map)) return false;
            seen->bitmaps.push_back(map);
        }
        return true;
    }

    // Claims a page for its owner; false when it cannot be claimed.
    bool claim(u32 page, u32 type, const std::string &owner, Page *p, Seen *seen)
    {
        std::string what = "page " + std::to_string(page) + " (" + owner + ")";
        if (page >= numpage_) return fault(what + " lies beyond the tree area");
        auto [it, fresh] = owners_.emplace(page, owner);
        if (!fresh) return fault(what + " is also " + it->second);
        if (!block(rtnst_ + PROP_PAGE_SIZE * page, type, what, p)) return false;
        seen->tree[page] = *p;
        return true;
    }

    // A dense list of page numbers: every one before the first 0 is a page
    // of the given type; none may follow a 0.
    std::vector<u32> page_list(const Page &p, i32 at, u32 count, const std::string &what)
    {
        std::vector<u32> out;
        bool ended = false;
        for (u32 i = 0; i < count; i++) {
            u32 page = be32_at(p.data(), at + 4 * off(i));
            if (page == 0) {
                ended = true;
            } else if (ended) {
                fault(what + ": page list has a hole");
            } else {
                out.push_back(page);
            }
        }
        return out;
    }

    void walk_value(const Page &node, const std::string &key, Seen *seen)
    {
        u32 size = be32_at(node.data(), TNODE_OFF_VALUE_SIZE);
        u32 need = size > TNODE_INLINE_VALUE_SIZE ? (size - TNODE_INLINE_VALUE_SIZE + 4063) / 4064 : 0;
        std::vector<u32> direct = page_list(node, TNODE_OFF_DIRECT_ADDR, TNODE_NUM_DIRECT, key + " value");
        std::vector<u32> pages = direct;
        u32 single = be32_at(node.data(), TNODE_OFF_SINGLE_INDIRECT);
        if (single != 0) {
            Page addr;
            if (claim(single, PROPR_BLK_ADDR, key + " value list", &addr, seen)) {
                std::vector<u32> more = page_list(addr, 32, 1016, key + " value list");
                pages.insert(pages.end(), more.begin(), more.end());
            }
        }
        if (pages.size() != need)
            fault(key + ": a value of " + std::to_string(size) + " bytes has " + std::to_string(pages.size()) +
                  " value pages");
        Page val;
        for (u32 page : pages) claim(page, PROPR_BLK_VAL, key + " value", &val, seen);
    }

    // The entries of one slotted area; their child pages, by name.
    void entries(const Page &p, u32 start, const std::string &key, std::map<std::string, u32> *kids)
    {
        u32 rc = kce_for_each(p.data(), start, [&](const kce_hit &h) {
            std::string name(reinterpret_cast<const char *>(p.data()) + h.loc, h.size - KCE_ENTRY_EXTRA);
            if (!kids->emplace(name, h.child).second) fault(key + ": two entries named " + name);
            return true;
        });
        if (rc != 0) fault(key + ": corrupt entry area");
    }

    void walk(Seen *seen)
    {
        std::vector<std::pair<u32, std::string>> todo = {{0, "root"}};
        while (!todo.empty()) {
            auto [page, key] = todo.back();
            todo.pop_back();
            Page node;
            if (!claim(page, PROPR_BLK_TNODE, key, &node, seen)) continue;
            walk_value(node, key, seen);
            std::map<std::string, u32> kids;
            entries(node, KCE_TNODE_START, key, &kids);
            std::vector<u32> kces = page_list(node, KCE_LIST_DIRECT, KCE_NUM_DIRECT, key + " entry pages");
            for (u32 a : page_list(node, KCE_LIST_ADDR, KCE_NUM_ADDR, key + " entry lists")) {
                Page addr;
                if (!claim(a, PROPR_BLK_ADDR, key + " entry list", &addr, seen)) continue;
                std::vector<u32> more = page_list(addr, KCE_LIST_IN_ADDR, KCE_NUM_IN_ADDR, key + " entry list");
                kces.insert(kces.end(), more.begin(), more.end());
            }
            for (u32 k : kces) {
                Page kce;
                if (claim(k, PROPR_BLK_KCE, key + " entries", &kce, seen)) entries(kce, KCE_PAGE_START, key, &kids);
            }
            u32 counted = be32_at(node.data(), TNODE_OFF_NUM_SUBKEY);
            if (counted != kids.size())
                fault(key + ": counts " + std::to_string(counted) + " children, has " + std::to_string(kids.size()));
            for (const auto &[name, child] : kids) todo.emplace_back(child, key == "root" ? name : key + "." + name);
        }
    }

    // Bit b of bitmap i is page i * 32512 + b + 1; page 0 has no bit.
    void compare_bitmaps(const Seen &seen)
    {
        u32 wrong = 0;
        std::string first;
        for (u32 i = 0; i < seen.bitmaps.size(); i++) {
            const u8 *bits = seen.bitmaps[i].data() + sizeof(propr_hdr);
            for (u32 b = 0; b < PROPR_BITS_PER_FCL; b++) {
                u32 page = i * PROPR_BITS_PER_FCL + b + 1;
                bool used = bitmap_test(bits, b);
                if (used == (owners_.count(page) != 0)) continue;
                if (wrong++ == 0)
                    first = "page " + std::to_string(page) + (used ? " is marked used but nothing owns it"
                                                                   : " (" + owners_[page] + ") is marked free");
            }
        }
        if (wrong != 0) fault(first + (wrong > 1 ? " (and " + std::to_string(wrong - 1) + " more)" : ""));
    }

    std::string path_;
    std::vector<std::string> *faults_;
    int fd_ = -1;
    u32 selector_ = 0, num_fcl_ = 0, lsst_ = 0, rtnst_ = 0, numpage_ = 0;
    std::map<u32, std::string> owners_;
};

}  // namespace

std::vector<std::string> check_pages(const std::vector<std::string> &locations)
{
    std::vector<std::string> faults;
    std::vector<Seen> seen(locations.size());
    for (size_t i = 0; i < locations.size(); i++) Location(locations[i], &faults).check(&seen[i]);
    for (size_t i = 1; i < seen.size() && faults.empty(); i++) {
        std::string where = "locations 0 and " + std::to_string(i);
        if (seen[i].commit_lsn != seen[0].commit_lsn) faults.push_back(where + " hold different commits");
        if (seen[i].bitmaps != seen[0].bitmaps) faults.push_back(where + " hold different bitmaps");
        if (seen[i].tree != seen[0].tree) faults.push_back(where + " hold different tree pages");
    }
    return faults;
}
