#include "blocks.h"

#include <cstring>

#include "keys.h"

namespace propctl {

uint32_t read_block(backend_ctx *ctx, const std::string &key, uint32_t location, bool show, RawBlock *out)
{
    Key handle;
    if (!key.empty())
        if (uint32_t rc = open_key(ctx, key, &handle); rc != 0) return rc;
    out->bytes.assign(kBlockSize, '\0');
    uint32_t size = kBlockSize;
    const uint32_t flags = key.empty() ? PROP_BLOCK_BY_NUMBER : PROP_BLOCK_BY_KEY;
    uint32_t rc = prop_get_block(ctx, handle.get(), location, out->bytes.data(), &size, &out->number, flags);
    // A free block is no tree node of a key's.
    if (rc == PROP_E_NOTALLOC && flags == PROP_BLOCK_BY_KEY) return rc;
    if (rc != 0 && rc != PROP_E_NOTALLOC && rc != PROP_E_BADHDR) return rc;
    out->found = rc;
    if (!show) return 0;
    out->report.assign(kReportSize, '\0');
    size = kReportSize;
    rc = prop_interpret_block(ctx, out->number, out->bytes.data(), kBlockSize, out->report.data(), &size, 0);
    out->report.resize(std::strlen(out->report.c_str()));
    return rc;
}

}  // namespace propctl
