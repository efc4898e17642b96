// The second pass of the corruption check: the key tree walked from the
// root, depth first, every page it reaches claimed for one owner.  A page
// the map shows as free, a page past the end of the store and a page
// claimed twice are findings; so is a page that does not hold what its
// owner points at it for, a subkey count that differs from the entries
// reached, a child name that is doubled or holds '.', an owner or group id
// that no name table holds, and a page number in a slot the counts leave
// unused.  Pages in use that nothing reaches are leaked: listed, not
// counted as corruption, unless they hold a tnode: then keys were lost.
#include <algorithm>
#include <cstring>

#include "diag/check.h"
#include "diag/diag.h"
#include "io/io.h"
#include "platform/thread.h"
#include "tree/namedb.h"
#include "tree/tnode.h"

using namespace diag;
using namespace diag::chk;

namespace {

constexpr u32 kNoParent = 0xffffffffU;
constexpr u32 kLost = 0xffffffffU;  // owner of a page found under no key
constexpr size_t kNameSize = 1024;

// One key met by the walk: its name is its parent's name, '.', and its own.
struct key {
    u32 parent;
    u32 name_off;
    u32 page;
    u16 name_len;
};

// How a page was claimed, for the messages.
enum class claim : u8 { none = 0, tnode, value, kce, addr };

const char *label_of(claim c)
{
    switch (c) {
    case claim::tnode: return "Tnode block";
    case claim::value: return "Value block";
    case claim::kce: return "kce block";
    case claim::addr: return "addr block";
    case claim::none: break;
    }
    return "";
}

const char *caller_of(claim c)
{
    switch (c) {
    case claim::tnode: return "proprchk_traverse";
    case claim::value: return "proprchk_valueblk_corruption";
    case claim::kce: return "proprchk_kceblk_corruption_helper";
    case claim::addr: return "proprchk_kceblk_corruption_addrpage";
    case claim::none: break;
    }
    return "";
}

class walker {
  public:
    walker(proprhandle *h, const bitmaps &map, const pages &pg, findings *found)
        : h_(h), map_(map), pg_(pg), found_(found), keys_(h->metactx), stack_(h->metactx), kids_(h->metactx),
          sorted_(h->metactx), owner_(MetaPtr<u32>::alloc(h->metactx, size_t{pg.last} + 1)),
          how_(MetaPtr<claim>::alloc(h->metactx, size_t{pg.last} + 1))
    {
    }

    // 0, or 12 when memory runs out.
    u32 run()
    {
        if (!owner_ || !how_ || !keys_.push(key{kNoParent, 0, 0, 0}) || !stack_.push(0)) return PROP_E_NOMEM;
        while (!stack_.empty()) {
            const u32 k = stack_.back();
            stack_.pop();
            if (!visit(k)) return PROP_E_NOMEM;
        }
        return PROP_OK;
    }

    bool corrupt() const { return found_->faults() != 0; }
    // Keys reached, the root not counted.
    u32 keys() const { return walked_; }

    // Copies that differ, with the key that owns the page.
    void mismatches()
    {
        for (size_t i = 0; i < pg_.mismatches.size(); i++) {
            const mismatch &m = pg_.mismatches[i];
            const u32 o = m.page <= pg_.last ? owner_[m.page] : 0;
            const char *key = o != 0 && o != kLost ? name_of(o - 1) : nullptr;
            found_->fault("proprchk_logicalcorruption: LOGICAL CORRUPTION: page [%d] (block %d) %s%s%s differs between locations %u and %u, though both copies verify",
                          static_cast<int>(m.page), number(m.page), key != nullptr ? "of key [" : "that no key reaches",
                          key != nullptr ? key : "", key != nullptr ? "]" : "", m.slot_a, m.slot_b);
        }
    }

    // Pages in use that no key reached, taken in groups: a page that no
    // other unreached page points at, and all it points at.  A group that
    // holds a tnode is a lost subtree; the others are leaks.  0 or 12.
    u32 unreached()
    {
        MetaPtr<u8> pointed = MetaPtr<u8>::alloc(h_->metactx, size_t{pg_.last} + 1);
        if (!pointed) return PROP_E_NOMEM;
        for (u32 p = 1; p <= pg_.last; p++)
            if (lost(p))
                for (u32 e = pg_.first[p]; e < pg_.first[p + 1]; e++)
                    if (links(pg_.edges[e].kind) && lost(pg_.edges[e].target)) pointed[pg_.edges[e].target] = 1;
        // Tops first; what is left lies on rings of pages pointing at each other.
        for (int round = 0; round < 2; round++)
            for (u32 p = 1; p <= pg_.last; p++)
                if (lost(p) && (round == 1 || pointed[p] == 0) && !group(p)) return PROP_E_NOMEM;
        return PROP_OK;
    }

  private:
    static bool links(ref kind) { return kind == ref::value || kind == ref::child || kind == ref::kce || kind == ref::addr; }
    bool lost(u32 p) const { return p >= 1 && p <= pg_.last && map_.used(p) && owner_[p] == 0; }

    bool group(u32 top)
    {
        sorted_.clear();
        stack_.clear();
        if (!stack_.push(top)) return false;
        owner_[top] = kLost;
        u32 tnodes = 0;
        const edge *named = nullptr;  // the first child entry met, to name the subtree by
        while (!stack_.empty()) {
            const u32 p = stack_.back();
            stack_.pop();
            if (!sorted_.push(p)) return false;
            tnodes += pg_.what[p] == held::tnode ? 1 : 0;
            for (u32 e = pg_.first[p]; e < pg_.first[p + 1]; e++) {
                const edge &ed = pg_.edges[e];
                if (!links(ed.kind) || !lost(ed.target)) continue;
                if (ed.kind == ref::child && named == nullptr) named = &ed;
                owner_[ed.target] = kLost;
                if (!stack_.push(ed.target)) return false;
            }
        }
        if (tnodes == 0) {
            std::sort(sorted_.data(), sorted_.data() + sorted_.size());
            for (size_t i = 0; i < sorted_.size(); i++)
                found_->add("proprchk_logicalcorruption: LEAKED PAGE: page [%d] (block %d) is allocated but no key reaches it",
                            static_cast<int>(sorted_[i]), number(sorted_[i]));
            return true;
        }
        const char *what = pg_.what[top] == held::tnode ? "a tnode" : pg_.what[top] == held::kce ? "a kce page" : "a page";
        found_->fault("proprchk_logicalcorruption: LOGICAL CORRUPTION: LOST SUBTREE: page [%d] (block %d), %s that no key reaches, holds %u keys in %u pages%s%.*s%s",
                      static_cast<int>(top), number(top), what, tnodes, static_cast<u32>(sorted_.size()),
                      named != nullptr ? ", among them [" : "", named != nullptr ? static_cast<int>(named->name_len) : 0,
                      named != nullptr ? pg_.names.data() + named->name_off : "", named != nullptr ? "]" : "");
        return true;
    }

    bool visit(u32 k)
    {
        const u32 page = keys_[k].page;
        if (!take(page, claim::tnode, k)) return true;
        if (pg_.what[page] != held::tnode) {
            found_->fault("proprchk_traverse: LOGICAL CORRUPTION: page [%d] (block %d) of key [%s] is not a valid tnode",
                          static_cast<int>(page), number(page), name_of(k));
            return true;
        }
        walked_ += k != 0 ? 1 : 0;
        kids_.clear();
        u32 values = 0, subkeys = 0;
        bool whole = true;  // every child entry of the key was read
        for (u32 e = pg_.first[page]; e < pg_.first[page + 1]; e++) {
            const edge &ed = pg_.edges[e];
            switch (ed.kind) {
            case ref::value:
                value_page(ed.target, ++values, k);
                break;
            case ref::value_size:
                finding_size(ed.target, k);
                break;
            case ref::child:
                if (!kids_.push(e)) return false;
                break;
            case ref::kce:
                if (!kce_page(ed.target, k, &whole)) return false;
                break;
            case ref::addr:
                if (!addr_page(ed.target, k, &whole)) return false;
                break;
            case ref::bad_entries:
                whole = false;
                found_->fault("proprchk_traverse: LOGICAL CORRUPTION: the child entries in page [%d] (block %d) of key [%s] are corrupt",
                              static_cast<int>(page), number(page), name_of(k));
                break;
            case ref::subkeys:
                subkeys = ed.target;
                break;
            case ref::bad_owner:
            case ref::bad_group:
                found_->fault("proprchk_traverse: LOGICAL CORRUPTION: key [%s] has %s id %u, which names no entry of the %s table",
                              name_of(k), ed.kind == ref::bad_owner ? "owner" : "group", ed.target,
                              ed.kind == ref::bad_owner ? "owner" : "group");
                break;
            case ref::stray:
                stray(page, "tnode", ed, k);
                break;
            }
        }
        if (whole && kids_.size() != subkeys)
            found_->fault("proprchk_traverse: LOGICAL CORRUPTION: key [%s] counts %u subkeys but its child entries name %u",
                          name_of(k), subkeys, static_cast<u32>(kids_.size()));
        if (!child_names(k)) return false;
        // Children are pushed last first, so that they are visited in the
        // order their entries lie.
        for (size_t i = kids_.size(); i-- > 0;) {
            const edge &ed = pg_.edges[kids_[i]];
            if (!keys_.push(key{k, ed.name_off, ed.target, ed.name_len})) return false;
            if (!stack_.push(static_cast<u32>(keys_.size() - 1))) return false;
        }
        return true;
    }

    void value_page(u32 page, u32 nth, u32 k)
    {
        if (page == 0) {
            found_->fault("proprchk_valueblk_corruption: LOGICAL CORRUPTION: value page %u of key [%s] is missing", nth,
                        name_of(k));
            return;
        }
        if (take(page, claim::value, k) && pg_.what[page] != held::val)
            found_->fault("proprchk_valueblk_corruption: LOGICAL CORRUPTION: value page [%d] (block %d) of key [%s] is not a valid VAL block",
                          static_cast<int>(page), number(page), name_of(k));
    }

    bool kce_page(u32 page, u32 k, bool *whole)
    {
        if (!take(page, claim::kce, k)) {
            *whole = false;
            return true;
        }
        if (pg_.what[page] != held::kce) {
            *whole = false;
            found_->fault("proprchk_kceblk_corruption_helper: LOGICAL CORRUPTION: kce page [%d] (block %d) of key [%s] is not a valid KCE block",
                          static_cast<int>(page), number(page), name_of(k));
            return true;
        }
        for (u32 e = pg_.first[page]; e < pg_.first[page + 1]; e++) {
            if (pg_.edges[e].kind == ref::child && !kids_.push(e)) return false;
            if (pg_.edges[e].kind == ref::bad_entries) *whole = false;
            if (pg_.edges[e].kind == ref::bad_entries)
                found_->fault("proprchk_kceblk_corruption_helper: LOGICAL CORRUPTION: the child entries in kce page [%d] (block %d) of key [%s] are corrupt",
                              static_cast<int>(page), number(page), name_of(k));
        }
        return true;
    }

    bool addr_page(u32 page, u32 k, bool *whole)
    {
        if (!take(page, claim::addr, k)) {
            *whole = false;
            return true;
        }
        if (pg_.what[page] != held::addr) {
            *whole = false;
            found_->fault("proprchk_kceblk_corruption_addrpage: Address page [%d] retrieved is not a valid ADDR block. page_addr:[%d]",
                        static_cast<int>(page), static_cast<int>(page_address(page)));
            return true;
        }
        for (u32 e = pg_.first[page]; e < pg_.first[page + 1]; e++) {
            const edge &ed = pg_.edges[e];
            if (ed.kind == ref::stray)
                stray(page, "addr page", ed, k);
            else if (!kce_page(ed.target, k, whole))
                return false;
        }
        return true;
    }

    void stray(u32 page, const char *what, const edge &ed, u32 k)
    {
        found_->fault("proprchk_traverse: LOGICAL CORRUPTION: %s [%d] (block %d) of key [%s] holds page number %u at offset %u, in a %s",
                      what, static_cast<int>(page), number(page), name_of(k), ed.target, ed.name_off,
                      slot_of(pg_.what[page], ed.name_off));
    }

    static const char *slot_of(held what, u32 offset)
    {
        if (what != held::tnode) return "slot past the end of its kce page list";
        if (offset < static_cast<u32>(TNODE_OFF_SINGLE_INDIRECT)) return "value page slot that its value size leaves unused";
        if (offset == static_cast<u32>(TNODE_OFF_SINGLE_INDIRECT)) return "single-indirect slot that its value size leaves unused";
        if (offset < static_cast<u32>(TNODE_OFF_ADDR_PAGE_ADDR)) return "slot past the end of its kce page list";
        return "slot past the end of its addr page list";
    }

    // Names under one key must differ, and a '.' in one would make it two
    // components of a key name.
    bool child_names(u32 k)
    {
        for (size_t i = 0; i < kids_.size(); i++) {
            const edge &ed = pg_.edges[kids_[i]];
            const char *name = pg_.names.data() + ed.name_off;
            if (ed.name_len == 0 || std::memchr(name, '.', ed.name_len) != nullptr)
                found_->fault("proprchk_traverse: LOGICAL CORRUPTION: key [%s] has a child entry [%.*s] that is no valid key name",
                              name_of(k), static_cast<int>(ed.name_len), name);
        }
        if (kids_.size() < 2) return true;
        sorted_.clear();
        if (!sorted_.append(kids_.data(), kids_.size())) return false;
        u32 *b = sorted_.data(), *end = b + sorted_.size();
        std::sort(b, end, [&](u32 x, u32 y) { return name_cmp(x, y) < 0; });
        for (u32 *at = b + 1; at < end; at++) {
            if (name_cmp(at[-1], at[0]) != 0 || (at - 1 > b && name_cmp(at[-2], at[-1]) == 0)) continue;
            const edge &ed = pg_.edges[*at];
            found_->fault("proprchk_traverse: LOGICAL CORRUPTION: key [%s] has two child entries named [%.*s]", name_of(k),
                          static_cast<int>(ed.name_len), pg_.names.data() + ed.name_off);
        }
        return true;
    }

    int name_cmp(u32 x, u32 y) const
    {
        const edge &a = pg_.edges[x], &b = pg_.edges[y];
        if (a.name_len != b.name_len) return a.name_len < b.name_len ? -1 : 1;
        return std::memcmp(pg_.names.data() + a.name_off, pg_.names.data() + b.name_off, a.name_len);
    }

    // Claims page for key k; false (after reporting) when it cannot be.
    bool take(u32 page, claim how, u32 k)
    {
        if (page == 0 && how == claim::tnode && k == 0) {
            own(page, how, k);
            return true;
        }
        if (page >= h_->numpage) {
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: %s for key [%s] points past the end of the store: page [%d]",
                        label_of(how), name_of(k), static_cast<int>(page));
        } else if (!map_.used(page)) {
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: FCL map shows an allocated block [%d] as free",
                        static_cast<int>(page));
        } else if (owner_[page] != 0) {
            double_claim(page, how, k);
        } else {
            own(page, how, k);
            return true;
        }
        found_->fault("%s: Block [%d] logically corrupted. Keyname:[%s]", caller_of(how), static_cast<int>(page),
                    name_of(k));
        return false;
    }

    void own(u32 page, claim how, u32 k)
    {
        owner_[page] = k + 1;
        how_[page] = how;
    }

    void double_claim(u32 page, claim how, u32 k)
    {
        const char *name = name_of(k);
        const char *first = name_of(owner_[page] - 1);
        const int p = static_cast<int>(page);
        switch (how_[page]) {
        case claim::tnode:
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: %s for key [%s] and tnode for key [%s] points to same block number [%d]",
                        label_of(how), name, first, p);
            return;
        case claim::value:
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: %s for key [%s] and value block of some other key points to same block number [%d]",
                        label_of(how), name, p);
            break;
        case claim::kce:
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: %s for key [%s] and kce block of some other key points to same block number [%d]",
                        label_of(how), name, p);
            break;
        case claim::addr:
        case claim::none:
            found_->add("proprchk_corruption_helper: LOGICAL CORRUPTION: %s for key [%s] and addr block of some other key points to same block number [%d]",
                        label_of(how), name, p);
            break;
        }
        found_->add("proprchk_corruption_helper: page [%d] belongs to key [%s]", p, first);
    }

    void finding_size(u32 size, u32 k)
    {
        found_->fault("proprchk_valueblk_corruption: LOGICAL CORRUPTION: key [%s] has a value size of %u bytes, more than the %u value pages a tnode can name",
                    name_of(k), size, TNODE_NUM_DIRECT);
    }

    u64 page_address(u32 page) const { return propr_page_addr(h_->proprhandle_rtnst, page); }
    // The number block headers and the block tools use for a page.
    int number(u32 page) const { return static_cast<int>(propr_blocknum(page_address(page))); }

    // The full dotted name, written from its last component backwards;
    // a name longer than the buffer keeps its end behind "...".  Two
    // buffers take turns, so one message can name two keys.
    const char *name_of(u32 k)
    {
        char *tmp = names_[turn_ ^= 1U];
        size_t pos = kNameSize - 1;
        tmp[pos] = '\0';
        bool cut = false;
        for (u32 at = k; at != 0 && keys_[at].parent != kNoParent; at = keys_[at].parent) {
            const key &kk = keys_[at];
            const size_t need = kk.name_len + (kk.parent != 0 ? 1U : 0U);
            if (need + 3 > pos) {
                cut = true;
                break;
            }
            pos -= kk.name_len;
            std::memcpy(tmp + pos, pg_.names.data() + kk.name_off, kk.name_len);
            if (kk.parent != 0) tmp[--pos] = '.';
        }
        if (cut) {
            pos -= 3;
            std::memcpy(tmp + pos, "...", 3);
        }
        return tmp + pos;
    }

    proprhandle *h_;
    const bitmaps &map_;
    const pages &pg_;
    findings *found_;
    MetaVec<key> keys_;
    MetaVec<u32> stack_;  // keys still to visit
    MetaVec<u32> kids_;   // child edges of the key being visited
    MetaVec<u32> sorted_; // kids_ by name; or the pages of one unreached group
    MetaPtr<u32> owner_;  // per page: owning key + 1, 0 = unclaimed
    MetaPtr<claim> how_;
    char names_[2][kNameSize];
    u32 turn_ = 0;
    u32 walked_ = 0;
};

}  // namespace

namespace {

// The number of names of the table at offset, from the first copy that
// verifies; false when none does.
bool table_size(proprhandle *h, const u32 *slots, u32 nslots, u32 offset, u32 *names)
{
    alignas(8) u8 block[PROP_PAGE_SIZE];
    for (u32 i = 0; i < nslots; i++) {
        if (proprior(h, block, PROP_PAGE_SIZE, offset, 0, slots[i]) != PROP_OK) continue;
        if (proprut_isblk_valid_buf(block, PROPR_BLK_DB) == 0 || hdr_verify_checksum(block, PROP_PAGE_SIZE) != 0) continue;
        *names = namedb_header_read(block).num_entry;
        return true;
    }
    return false;
}

// A table that verifies nowhere is the block scan's finding; the ids are
// then left unchecked.
name_ids name_tables(proprhandle *h)
{
    u32 slots[PROP_NUM_SLOTS];
    const u32 nslots = open_slots(h, slots);
    name_ids ids;
    ids.known = table_size(h, slots, nslots, h->proprhandle_odbst, &ids.owners) &&
                table_size(h, slots, nslots, h->proprhandle_gdbst, &ids.groups);
    if (!ids.known)
        trace_print(raw(h), 0, "proprchk_logicalcorruption: a name table does not verify: owner and group ids not checked");
    return ids;
}

}  // namespace

u32 proprchk_logicalcorruption(backend_ctx *ctx)
{
    if (ctx == nullptr) {
        trace_print(raw(nullptr), 0, "proprchk_logicalcorruption: Null backend context passed ");
        return PROP_E_CTX;
    }
    proprhandle *h = ctx->propb_ctx;
    if (h == nullptr) {
        trace_print(raw(nullptr), 0, "proprchk_logicalcorruption: Backend handle passed is null");
        return PROP_E_CTX;
    }
    RwGuard lock(&ctx->prop_rwlock, RwGuard::Shared);
    findings found(h);
    bitmaps map(h);
    if (u32 rc = map.load(); rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: could not read fcl");
        if (rc == PROP_E_NOMEM) return rc;
        // Without the map nothing can be claimed: the walk cannot run.
        found.fault("proprchk_logicalcorruption: LOGICAL CORRUPTION: bitmap page %u does not verify on any location",
                    map.loaded());
        return PROP_E_CORRUPT;
    }
    const name_ids ids = name_tables(h);
    pages pg(h->metactx);
    if (u32 rc = read_pages(h, map, ids, &pg); rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: could not read the pages in use [%d]", static_cast<int>(rc));
        return rc == PROP_E_NOMEM ? rc : u32{PROP_E_CORRUPT};
    }
    walker walk(h, map, pg, &found);
    u32 rc = walk.run();
    if (rc == PROP_OK) {
        walk.mismatches();
        rc = walk.unreached();
    }
    if (rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: Failed in allocating memory for used_block_numbers");
        return rc;
    }
    found.close("proprchk_logicalcorruption");
    found.summary("proprchk_logicalcorruption: %u keys walked", walk.keys());
    return walk.corrupt() ? PROP_E_CORRUPT : PROP_OK;
}
