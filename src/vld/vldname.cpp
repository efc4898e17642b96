#include "vld/vldname.h"

#include <cstring>

#include "platform/trace.h"
#include "platform/vldsim/client.h"

namespace {

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

// Copies len bytes and a zero into a buffer of *size bytes; false (and the
// size needed in *size) when it does not fit.
bool put_part(const char *what, const char *op, const char *src, size_t len, char *dst, u32 *size)
{
    u32 need = static_cast<u32>(len + 1);
    if (*size < need) {
        trace_print(utl(), 0, "%s: The memory allocated for %s is too small. Actual:[%d] Required:[%d]", op, what,
                    static_cast<int>(*size), static_cast<int>(need));
        *size = need;
        return false;
    }
    std::memcpy(dst, src, len);
    dst[len] = '\0';
    *size = need;
    return true;
}

}  // namespace

u32 prou_split_vldbkpfname(const char *name, char *dg, u32 *dgsz, char *fname, u32 *fnamesz)
{
    const char *op = "prou_split_vldbkpfname";
    if (name == nullptr || dg == nullptr || dgsz == nullptr || fname == nullptr || fnamesz == nullptr)
        return PROU_NAME_BAD;
    const char *plus = std::strchr(name, '+');
    const char *colon = std::strchr(name, ':');
    if (plus == nullptr || colon == nullptr || colon < plus) {
        trace_print(utl(), 0,
                    "prou_split_vldbkpfname: The backup filename %s is not in valid format. Valid format: [+<VLDDG>:<bkpfilename>]",
                    name);
        return PROU_NAME_BAD;
    }
    bool ok = put_part("dgname", op, plus, static_cast<size_t>(colon - plus), dg, dgsz);
    ok = put_part("filename", op, colon + 1, std::strlen(colon + 1), fname, fnamesz) && ok;
    if (!ok) return PROU_NAME_SMALL;
    trace_print(utl(), 2, "prou_split_vldbkpfname: filename:[%s] dgname:[%s] bkpfilename:[%s]", name, dg, fname);
    return PROU_NAME_OK;
}

u32 prou_parse_vldfname(const char *name, char *dg, u32 *dgsz, char *fname, u32 *fnamesz)
{
    const char *op = "prou_parse_vldfname";
    if (name == nullptr || dg == nullptr || dgsz == nullptr || fname == nullptr || fnamesz == nullptr)
        return PROU_NAME_BAD;
    if (name[0] != PROU_VLD_PREFIX[0]) {
        trace_print(utl(), 0, "prou_parse_vldfname: The filename [%s] doesn't begin with VLD prefix [%s].", name,
                    PROU_VLD_PREFIX);
        return PROU_NAME_BAD;
    }
    // The volume manager decides what its names look like.
    size_t dg_len = 0;
    const char *file = nullptr;
    if (vld_name_parse(name, &dg_len, &file) != VLD_OK) {
        trace_print(utl(), 0, "prou_parse_vldfname: The filename [%s] is not a valid VLD file name.", name);
        return PROU_NAME_BAD;
    }
    bool ok = put_part("dgname", op, name, dg_len + 1, dg, dgsz);
    ok = put_part("fname", op, file, std::strlen(file), fname, fnamesz) && ok;
    if (!ok) return PROU_NAME_SMALL;
    trace_print(utl(), 2, "prou_parse_vldfname: Filename passed:[%s] DG name:[%s] filename:[%s]", name, dg, fname);
    return PROU_NAME_OK;
}
