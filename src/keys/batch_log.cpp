#include "keys/batch_log.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/metavec.h"
#include "format/cursor.h"
#include "keys/common.h"
#include "keys/keyhandle.h"
#include "keys/keypath.h"
#include "keys/keyplace.h"
#include "tree/kce.h"
#include "tree/tnode.h"
#include "txn/blockio.h"
#include "txn/pending.h"

namespace {

using propreg::keys_block;

// An existing parent and the keys the batch adds under it or takes away.
struct parent_use {
    u32 page;
    u32 keys;
};

// A parent named by path below an existing key ("a.b" of "a.b.c" created
// under it): whether it exists is found out once per path.
struct path_use {
    u32 page;    // the key the path starts at
    u32 offset;  // of the path in the batch's name text
    u32 length;
};

// Child-entry pages in use under one ADDR page, at most.
constexpr u32 kKcePerAddrPage = 1016;

bool valid_key(const propr_keyhandle *kh)
{
    return propr_keyhandle_valid(kh) && kh->propr_keyhandle_kdesc != nullptr;
}

// The key's tnode, and the value page a value over what the tnode holds
// overwrites when the old value had one (a batch record holds at most 4096
// bytes: one page beyond the tnode).  A key set twice in the batch counts
// its tnode twice, which pays for the page its first value took.
u32 own_pages(u32 value_size, u32 old_size = ~0u)
{
    return value_size > TNODE_INLINE_VALUE_SIZE && old_size > TNODE_INLINE_VALUE_SIZE ? 2 : 1;
}

class estimate {
  public:
    explicit estimate(proprhandle *h) : handle_(h), parents_(h->metactx), paths_(h->metactx), names_(h->metactx) {}

    bool count(const prop_batch_op *op);
    // The parents' share, once every operation is counted.
    bool parents_share();
    u64 pages() const { return own_ + parent_pages_; }

  private:
    bool parent(u32 page, u32 keys) { return parents_.push(parent_use{page, keys}); }
    bool place(const propr_keyhandle *kh, key_place *at);
    bool create(const prop_batch_op *op, u32 page);
    std::string_view path(const path_use &p) const { return {names_.data() + p.offset, p.length}; }
    bool resolve_paths();
    bool resolve(u32 page, std::string_view rel, u32 *found);
    u32 kce_pages(u32 page);

    proprhandle *handle_;
    MetaVec<parent_use> parents_;
    MetaVec<path_use> paths_;
    MetaVec<char> names_;
    u64 own_ = 0;
    u64 parent_pages_ = 0;
    const propr_keyhandle *last_ = nullptr;  // operations in a row often share a key
    key_place last_at_{};
    bool last_ok_ = false;
};

// Where the key is now and its parent, as the worker finds them; false
// when it is gone, and the worker saves nothing for it.
bool estimate::place(const propr_keyhandle *kh, key_place *at)
{
    if (kh != last_) {
        last_ = kh;
        last_ok_ = valid_key(kh) && propr_keyhandle_place(handle_, kh, keycheck_texts_of("proprbatchexec"), PROP_E_STALE,
                                                          true, &last_at_) == PROP_OK;
    }
    *at = last_at_;
    return last_ok_;
}

bool estimate::count(const prop_batch_op *op)
{
    key_place at{};
    switch (op->opcode) {
    case PROP_BATCH_DELETE_VALUE:
    case PROP_BATCH_SET_SECURITY:
        own_ += 1;
        return true;
    case PROP_BATCH_SET_VALUE:
        own_ += own_pages(op->value_size, valid_key(op->key) ? op->key->propr_keyhandle_valsize : ~0u);
        return true;
    case PROP_BATCH_CREATE_SET:
    case PROP_BATCH_CREATE_SET_NEW:
        own_ += own_pages(op->value_size);
        return !place(op->key, &at) || create(op, at.addr);
    case PROP_BATCH_CREATE_KEY:
        return !place(op->key, &at) || create(op, at.addr);
    case PROP_BATCH_DELETE_TREE:
    case PROP_BATCH_DELETE_KEY:
        return !place(op->key, &at) || parent(at.parent, 1);
    case PROP_BATCH_MOVE_KEY:
    case PROP_BATCH_MOVE_KEY_ALT:
        if (place(op->key, &at) && !parent(at.parent, 1)) return false;
        return !place(op->key2, &at) || parent(at.addr, op->key3 != nullptr ? 2 : 1);
    default:
        return true;
    }
}

// The key at page gains the first component of the name; each path of
// leading components gains the next one.
bool estimate::create(const prop_batch_op *op, u32 page)
{
    const u32 length = static_cast<u32>(strnlen(op->name, sizeof op->name - 1));
    char name[PROP_BATCH_NAME_SIZE];
    std::memcpy(name, op->name, length);
    name[length] = '\0';
    if (propr_keyname_check(name) != PROP_OK) return true;  // refused by the worker
    if (!parent(page, 1)) return false;
    const u32 offset = static_cast<u32>(names_.size());
    bool recorded = false;
    for (u32 i = 0; i < length; i++) {
        if (name[i] != '.') continue;
        if (!recorded && !names_.append(name, length)) return false;
        recorded = true;
        if (!paths_.push(path_use{page, offset, i})) return false;
    }
    return true;
}

bool estimate::resolve(u32 page, std::string_view rel, u32 *found)
{
    key_desc *kd = key_desc_alloc(handle_->metactx);
    if (kd == nullptr) return false;
    char comp[PROPR_KEYCOMP_MAX + 1];
    u32 rc = PROP_R_FOUND;
    for (size_t start = 0; rc == PROP_R_FOUND && start <= rel.size();) {
        size_t dot = rel.find('.', start);
        size_t end = dot == std::string_view::npos ? rel.size() : dot;
        std::memcpy(comp, rel.data() + start, end - start);
        comp[end - start] = '\0';
        rc = proprutfkce(handle_, page, comp, kd);
        page = kd->kd_tnode;
        start = end + 1;
    }
    key_desc_free(handle_->metactx, kd);
    // A lookup that fails counts the path as an existing parent whose
    // child-entry pages are unknown: its keys at full price.
    *found = rc == PROP_R_FOUND ? page : (rc == PROP_R_NOTFOUND ? 0 : ~0u);
    return true;
}

// Each path once: one that exists is a parent like the others; one the
// batch makes costs its tnode, saved when a later key goes under it.
bool estimate::resolve_paths()
{
    auto less = [this](const path_use &a, const path_use &b) {
        return a.page != b.page ? a.page < b.page : path(a) < path(b);
    };
    std::sort(paths_.data(), paths_.data() + paths_.size(), less);
    for (size_t i = 0; i < paths_.size();) {
        size_t j = i + 1;
        while (j < paths_.size() && !less(paths_[i], paths_[j])) j++;
        const u32 keys = static_cast<u32>(j - i);
        u32 found = 0;
        if (!resolve(paths_[i].page, path(paths_[i]), &found)) return false;
        if (found == 0)
            parent_pages_ += 1;
        else if (found == ~0u)
            parent_pages_ += 1 + u64{keys};
        else if (!parent(found, keys))
            return false;
        i = j;
    }
    return true;
}

// The child-entry pages the key at page has now; every one may be saved
// once.  What cannot be read counts as many as there could be.
u32 estimate::kce_pages(u32 page)
{
    constexpr u32 most = TNODE_NUM_KCE_PAGES + TNODE_NUM_ADDR_PAGES * kKcePerAddrPage;
    keys_block raw, list;
    if (ut_page_read(handle_, raw.b, ut_page_addr(handle_, page), 0) != PROP_OK) return most;
    u32 n = 0;
    for (u32 i = 0; i < TNODE_NUM_KCE_PAGES; i++)
        n += be32_at(raw.b, TNODE_OFF_KCE_PAGE_ADDR + static_cast<i32>(4 * i)) != 0 ? 1 : 0;
    for (u32 i = 0; i < TNODE_NUM_ADDR_PAGES; i++) {
        const u32 addr_page = be32_at(raw.b, TNODE_OFF_ADDR_PAGE_ADDR + static_cast<i32>(4 * i));
        if (addr_page == 0) continue;
        if (ut_page_read(handle_, list.b, ut_page_addr(handle_, addr_page), 0) != PROP_OK) {
            n += kKcePerAddrPage;
            continue;
        }
        for (u32 k = 0; k < kKcePerAddrPage; k++)
            n += be32_at(list.b, static_cast<i32>(sizeof(propr_hdr) + 4 * k)) != 0 ? 1 : 0;
    }
    return n;
}

bool estimate::parents_share()
{
    if (!resolve_paths()) return false;
    std::sort(parents_.data(), parents_.data() + parents_.size(),
              [](const parent_use &a, const parent_use &b) { return a.page < b.page; });
    for (size_t i = 0; i < parents_.size();) {
        u64 keys = 0;
        size_t j = i;
        for (; j < parents_.size() && parents_[j].page == parents_[i].page; j++) keys += parents_[j].keys;
        parent_pages_ += 1 + std::min<u64>(keys, kce_pages(parents_[i].page));
        i = j;
    }
    return true;
}

bool sets_a_value(u32 opcode)
{
    return opcode == PROP_BATCH_SET_VALUE || opcode == PROP_BATCH_CREATE_SET || opcode == PROP_BATCH_CREATE_SET_NEW;
}

}  // namespace

u32 batch_log_estimate(proprhandle *handle, const prop_batch *batch, batch_log_need *out)
{
    *out = batch_log_need{};
    estimate e(handle);
    const prop_list_node *on = batch->ops.next;
    for (u32 n = 0; n < batch->count && on != nullptr && on != &batch->ops; n++, on = on->next) {
        const auto *op = reinterpret_cast<const prop_batch_op *>(on);
        if (!e.count(op)) return PROP_E_NOMEM;
        out->changes++;
        out->sets = out->sets && sets_a_value(op->opcode);
    }
    if (!e.parents_share()) return PROP_E_NOMEM;
    out->pages = e.pages();
    return PROP_OK;
}
