// The keys every store starts with: the root ("ZKV", page 0) and its three
// top-level keys.
#include <iterator>

#include "core/alloc.h"
#include "lifecycle/format.h"
#include "lifecycle/newhandle.h"
#include "tree/childnode.h"
#include "tree/keydesc.h"
#include "tree/tnode.h"
#include "txn/commit.h"

using namespace propreg;

namespace {

constexpr const char *kTopKeys[] = {"DATABASE", "SYSTEM", "HWK"};

// Owns a key descriptor and its name.
class Desc {
  public:
    explicit Desc(prop_metactx *meta) : meta_(meta), kd_(key_desc_alloc(meta)) {}
    ~Desc() { key_desc_free(meta_, kd_); }
    Desc(const Desc &) = delete;
    Desc &operator=(const Desc &) = delete;
    key_desc *get() const { return kd_; }

  private:
    prop_metactx *meta_;
    key_desc *kd_;
};

u32 write_root(proprhandle *h)
{
    trace_comp tc = lc_trace(h);
    tnode node;
    if (u32 rc = rutinitnode(h, &node); rc != 0) {
        trace_print(tc, 0, "proprinicreateroot: proprutinitnode failed (%d)", static_cast<int>(rc));
        return PROP_E_STORAGE;
    }
    alignas(8) u8 raw[PROP_PAGE_SIZE] = {};
    node.raw = raw;
    if (u32 rc = proprutwtnode(h, &node, 0, raw); rc != 0) return rc;
    trace_print(tc, 2, "proprinicreateroot: Finished creating root tnode handle->numpage = %d\n",
                static_cast<int>(h->numpage));
    return 0;
}

}  // namespace

u32 proprinicreateroot(proprhandle *handle, const sec_attr *sec, prop_metactx *meta)
{
    if (handle == nullptr) {
        trace_print(lc_trace(nullptr), 0, "proprinicreateroot: Backend context passed is null");
        return PROP_E_STORAGE;
    }
    trace_comp tc = lc_trace(handle);
    trace_print(tc, 2, "proprinicreateroot: Inside creation of root tnode ");
    if (u32 rc = write_root(handle); rc != 0) return rc;

    Desc root(meta);
    if (root.get() == nullptr) {
        trace_print(tc, 0, "inicreateroot: could not allocate memory");
        return PROP_E_NOMEM;
    }
    root.get()->kd_tnode = 0;
    for (const char *name : kTopKeys) {
        Desc child(meta);
        if (child.get() == nullptr) {
            trace_print(tc, 0, "inicreateroot: could not allocate memory");
            return PROP_E_NOMEM;
        }
        if (u32 rc = proprutcstnode(handle, root.get(), child.get(), name, sec); rc != 0) return rc;
        if (name == kTopKeys[0])
            trace_print(tc, 2, "proprinicreateroot: Finished creating first subkey %d",
                        static_cast<int>(child.get()->kd_tnode));
    }
    if (u32 rc = proprutfsu(handle); rc != 0) return rc;
    trace_print(tc, 2, "proprinicreateroot: Created the subkeys %d\n", static_cast<int>(std::size(kTopKeys)));
    return 0;
}
