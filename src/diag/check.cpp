// The second pass of the corruption check: the key tree walked from the
// root, depth first, every page it reaches claimed for one owner.  A page
// the map shows as free, a page past the end of the store and a page
// claimed twice are findings; so is a page that does not hold what its
// owner points at it for.  Pages in use that nothing reaches are leaked:
// listed, not counted as corruption.
#include <cstring>

#include "diag/check.h"
#include "diag/diag.h"
#include "platform/thread.h"
#include "tree/tnode.h"

using namespace diag;
using namespace diag::chk;

namespace {

constexpr u32 kNoParent = 0xffffffffU;
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
          owner_(MetaPtr<u32>::alloc(h->metactx, size_t{pg.last} + 1)),
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

    // Pages in use that no key reached.
    void leaks()
    {
        for (u32 p = 1; p <= pg_.last; p++)
            if (map_.used(p) && owner_[p] == 0)
                found_->add("proprchk_logicalcorruption: LEAKED PAGE: page [%d] (block %d) is allocated but no key reaches it",
                            static_cast<int>(p), number(p));
    }

  private:
    bool visit(u32 k)
    {
        const u32 page = keys_[k].page;
        if (!take(page, claim::tnode, k)) return true;
        if (pg_.what[page] != held::tnode) {
            found_->fault("proprchk_traverse: LOGICAL CORRUPTION: page [%d] (block %d) of key [%s] is not a valid tnode",
                          static_cast<int>(page), number(page), name_of(k));
            return true;
        }
        kids_.clear();
        u32 values = 0;
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
                if (!kce_page(ed.target, k)) return false;
                break;
            case ref::addr:
                if (!addr_page(ed.target, k)) return false;
                break;
            case ref::bad_entries:
                found_->fault("proprchk_traverse: LOGICAL CORRUPTION: the child entries in page [%d] (block %d) of key [%s] are corrupt",
                              static_cast<int>(page), number(page), name_of(k));
                break;
            }
        }
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

    bool kce_page(u32 page, u32 k)
    {
        if (!take(page, claim::kce, k)) return true;
        if (pg_.what[page] != held::kce) {
            found_->fault("proprchk_kceblk_corruption_helper: LOGICAL CORRUPTION: kce page [%d] (block %d) of key [%s] is not a valid KCE block",
                          static_cast<int>(page), number(page), name_of(k));
            return true;
        }
        for (u32 e = pg_.first[page]; e < pg_.first[page + 1]; e++) {
            if (pg_.edges[e].kind == ref::child && !kids_.push(e)) return false;
            if (pg_.edges[e].kind == ref::bad_entries)
                found_->fault("proprchk_kceblk_corruption_helper: LOGICAL CORRUPTION: the child entries in kce page [%d] (block %d) of key [%s] are corrupt",
                              static_cast<int>(page), number(page), name_of(k));
        }
        return true;
    }

    bool addr_page(u32 page, u32 k)
    {
        if (!take(page, claim::addr, k)) return true;
        if (pg_.what[page] != held::addr) {
            found_->fault("proprchk_kceblk_corruption_addrpage: Address page [%d] retrieved is not a valid ADDR block. page_addr:[%d]",
                        static_cast<int>(page), static_cast<int>(page_address(page)));
            return true;
        }
        for (u32 e = pg_.first[page]; e < pg_.first[page + 1]; e++)
            if (!kce_page(pg_.edges[e].target, k)) return false;
        return true;
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

    u32 page_address(u32 page) const { return h_->proprhandle_rtnst + page * PROP_PAGE_SIZE; }
    // The number block headers and the block tools use for a page.
    int number(u32 page) const { return static_cast<int>((page_address(page) >> 12) + PROPR_BLOCKNUM_BIAS); }

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
    MetaPtr<u32> owner_;  // per page: owning key + 1, 0 = unclaimed
    MetaPtr<claim> how_;
    char names_[2][kNameSize];
    u32 turn_ = 0;
};

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
    bitmaps map(h);
    if (u32 rc = map.load(); rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: could not read fcl");
        return rc == PROP_E_NOMEM ? rc : u32{PROP_E_CORRUPT};
    }
    pages pg(h->metactx);
    if (u32 rc = read_pages(h, map, &pg); rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: could not read the pages in use [%d]", static_cast<int>(rc));
        return rc == PROP_E_NOMEM ? rc : u32{PROP_E_CORRUPT};
    }
    findings found(h);
    walker walk(h, map, pg, &found);
    if (u32 rc = walk.run(); rc != PROP_OK) {
        trace_print(raw(h), 0, "proprchk_logicalcorruption: Failed in allocating memory for used_block_numbers");
        return rc;
    }
    walk.leaks();
    found.close("proprchk_logicalcorruption");
    return walk.corrupt() ? PROP_E_CORRUPT : PROP_OK;
}
