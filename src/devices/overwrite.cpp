// proprcow: the node's configuration becomes the store's own.  After the
// device history of a node's configuration diverged from the store's, the
// administrator declares the locations the node names to be the store: the
// history of their boot blocks is rewritten to name exactly them.
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "devices/devices.h"
#include "devices/temphandle.h"
#include "format/block.h"
#include "io/devhist.h"
#include "io/devid.h"
#include "io/io.h"

using namespace propreg;

u32 proprcow(prop_metactx *meta)
{
    TempHandle temp(meta, PROP_KIND_ZKV);
    if (!temp.ok()) {
        trace_print(dev_trace(nullptr), 0, "proprcow: could not allocate memory");
        return PROP_E_NOMEM;
    }
    proprhandle *h = temp.get();
    trace_comp tc = dev_trace(h);
    if (temp.start_io() != 0) {
        trace_print(tc, 0, "proprcow: could not create the I/O mutex");
        return PROP_E_STORAGE;
    }
    // The votes and lsns decide which locations are current; only those get
    // the new history, and the boot block comes from one of them, so a
    // stale copy is never spread over the current ones.  The history is not
    // checked: it is what this repairs.
    if (u32 rc = proprioo(h, 0, 1, PROPRIO_OPEN_ZKV); rc != 0) {
        trace_print(tc, 0, "proprcow: could not open either ZKV device");
        return PROP_E_STORAGE;
    }
    u32 current[PROP_NUM_SLOTS] = {};
    char errbuf[1024] = {};
    u64 errsz = sizeof errbuf;
    if (u32 rc = proprdev_get(h, current, errbuf, &errsz, 0); rc != 0) {
        trace_print(tc, 0, "proprcow: cannot get current configuration");
        if (errbuf[0] != '\0')
            u_set_comp_error(h->proprhandle_zkvctx, nullptr, PROP_COMPMSG_TEXT, rc, PROP_COMPTYPE_OS, errbuf);
        return PROP_E_STORAGE;
    }
    h->bootbuf = u_alloc_array<u8>(meta, PROP_PAGE_SIZE);
    if (h->bootbuf == nullptr) {
        trace_print(tc, 0, "proprcow: could not allocate memory");
        return PROP_E_NOMEM;
    }
    if (proprior(h, h->bootbuf, PROP_PAGE_SIZE, 0, 0, PROPRIO_ALL) != 0 ||
        proprut_isblk_valid_buf(h->bootbuf, PROPR_BLK_METADATA) == 0) {
        trace_print(tc, 0, "proprcow: problem reading the bootblock");
        return PROP_E_STORAGE;
    }
    if (dev_whist(h->bootbuf, nullptr, current) != 0) {
        trace_print(tc, 0, "proprcow: could not overwrite device replacement history");
        return PROP_E_STORAGE;
    }
    hdr_stamp_checksum(h->bootbuf, PROP_PAGE_SIZE);
    if (propriow(h, h->bootbuf, PROP_PAGE_SIZE, 0, PROPRIO_ALL) != 0) {
        trace_print(tc, 0, "proprcow: problem writing back the bootbuf");
        return PROP_E_STORAGE;
    }
    return 0;
}
