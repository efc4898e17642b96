// The volume-manager part of the context dump.
#include "vld/vldint.h"

void proprvld_dump(const proprhandle *handle, trace_comp comp)
{
    const proprvld_state *state = handle->proprhandle_vld;
    trace_print(comp, 0, "proprdc_proprhandle: propb_ctx->proprhandle_vld=[%p]", static_cast<const void *>(state));
    if (state == nullptr) return;
    trace_print(comp, 0, "proprdc_proprhandle: propb_ctx->proprhandle_vld->ctx=[%p] open files=%u",
                static_cast<const void *>(state->ctx), vld_context_open_files(state->ctx));
    auto file_line = [comp](const char *what, u32 slot, const vld_file *f) {
        vld_file_status s{};
        vld_file_describe(f, &s);
        trace_print(comp, 0,
                    "proprdc_proprhandle: propb_ctx->%s[%u]=+%s/%s kind=%u mode=%u mirrors=%u growth=%u maxsize=%u "
                    "cache=%uMB direct=%u",
                    what, slot, s.dg, s.fname, s.kind, s.mode, s.mirrors, s.growth, s.max_blocks, s.cache_mb, s.direct);
    };
    for (u32 i = 0; i < PROP_NUM_SLOTS; i++) {
        if (handle->proprhandle_loctype[i] == PROP_LOCTYPE_VLD && handle->proprhandle_native[i] != nullptr)
            file_line("proprhandle_native", i, static_cast<const vld_file *>(handle->proprhandle_native[i]));
        if (state->kept[i] != nullptr) file_line("proprhandle_vld->kept", i, state->kept[i]);
    }
}
