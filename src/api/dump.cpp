// The context dump: every field of the context and its handle, one trace
// line each, so that a post-mortem of a fatal error has the whole state.
#include "api/ops.h"
#include "api/own_ops.h"
#include "core/handle.h"
#include "core/tag.h"
#include "vld/vld.h"

namespace {

constexpr u32 kBootDumpLen = 4096;
constexpr u32 kSuperDumpLen = 4064;

class HandleDump {
  public:
    explicit HandleDump(trace_comp comp) : comp_(comp) {}

    void u(const char *field, u64 v) const
    {
        trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s=%llu", field, static_cast<unsigned long long>(v));
    }
    void i(const char *field, i64 v) const
    {
        trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s=%lld", field, static_cast<long long>(v));
    }
    void p(const char *field, const void *v) const
    {
        trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s=[%p]", field, v);
    }
    void s(const char *field, u32 idx, const char *v) const
    {
        trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s[%u]=%s", field, idx, v);
    }
    template <class T>
    void slots(const char *field, const T (&v)[PROP_NUM_SLOTS]) const
    {
        for (u32 k = 0; k < PROP_NUM_SLOTS; k++)
            trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s[%u]=%llu", field, k,
                        static_cast<unsigned long long>(v[k]));
    }
    void ptr_slots(const char *field, void *const (&v)[PROP_NUM_SLOTS]) const
    {
        for (u32 k = 0; k < PROP_NUM_SLOTS; k++)
            trace_print(comp_, 0, "proprdc_proprhandle: propb_ctx->%s[%u]=[%p]", field, k, v[k]);
    }
    void names(const char *field, char *const (&v)[256]) const
    {
        for (u32 k = 0; k < 256; k++)
            if (v[k] != nullptr) s(field, k, v[k]);
    }

  private:
    trace_comp comp_;
};

void dump_locations(const HandleDump &d, const proprhandle *h)
{
    d.ptr_slots("proprhandle_native", h->proprhandle_native);
    d.slots("proprhandle_native_state", h->proprhandle_native_state);
    d.u("proprhandle_read_device", h->proprhandle_read_device);
    d.slots("proprhandle_native_numpage", h->proprhandle_native_numpage);
    for (u32 k = 0; k < PROP_NUM_SLOTS; k++) d.s("proprhandle_filename", k, h->proprhandle_filename[k]);
    d.slots("proprhandle_loctype", h->proprhandle_loctype);
    d.slots("proprhandle_my_votes", h->proprhandle_my_votes);
    d.slots("proprhandle_total_votes", h->proprhandle_total_votes);
    d.u("proprhandle_configured_device_count", h->proprhandle_configured_device_count);
    d.u("proprhandle_recover_dev_flag", h->proprhandle_recover_dev_flag);
}

void dump_store(const HandleDump &d, const proprhandle *h)
{
    d.u("numpage", h->numpage);
    d.i("totalsize", h->totalsize);
    d.u("num_free", h->num_free);
    d.u("proprhandle_zkvid", h->proprhandle_zkvid);
    d.u("version[0]", h->version[0]);
    d.u("version[1]", h->version[1]);
    d.p("bootbuf", h->bootbuf);
    d.p("superbuf", h->superbuf);
    d.p("proprhandle_propr_log", h->proprhandle_propr_log);
    d.p("proprhandle_fcl", h->proprhandle_fcl);
    d.u("proprhandle_num_fcl", h->proprhandle_num_fcl);
    d.u("proprhandle_last_fcl", h->proprhandle_last_fcl);
    d.p("propr_handle_free_page_list", h->propr_handle_free_page_list);
    d.u("proprhandle_free_page_list_used", h->proprhandle_free_page_list_used);
    d.u("proprhandle_free_page_list_max", h->proprhandle_free_page_list_max);
    d.p("proprhandle_new_page_list", h->proprhandle_new_page_list);
    d.u("proprhandle_new_page_list_used", h->proprhandle_new_page_list_used);
    d.u("super_block_addr", h->super_block_addr);
    d.u("proprhandle_isvalidlog", h->proprhandle_isvalidlog);
    d.u("root_key_addr", h->root_key_addr);
    d.u("proprhandle_odbst", h->proprhandle_odbst);
    d.u("proprhandle_gdbst", h->proprhandle_gdbst);
    d.u("proprhandle_rtnst", h->proprhandle_rtnst);
    d.u("proprhandle_lsst", h->proprhandle_lsst);
    d.u("proprhandle_num_log", h->proprhandle_num_log);
    d.u("ndk_addr", h->ndk_addr);
    d.u("num_ndk", h->num_ndk);
}

void dump_rest(const HandleDump &d, const proprhandle *h)
{
    d.u("proprhandle_mutex_created", h->proprhandle_mutex_created);
    d.u("proprhandle_io_mutex_created", h->proprhandle_io_mutex_created);
    d.slots("proprhandle_devid", h->proprhandle_devid);
    d.names("proprhandle_uid", h->proprhandle_uid);
    d.u("proprhandle_num_cached_uid", h->proprhandle_num_cached_uid);
    d.u("proprhandle_num_uid", h->proprhandle_num_uid);
    d.names("proprhandle_gid", h->proprhandle_gid);
    d.u("proprhandle_num_cached_gid", h->proprhandle_num_cached_gid);
    d.u("proprhandle_num_gid", h->proprhandle_num_gid);
    d.p("proprhandle_zkvctx", h->proprhandle_zkvctx);
    d.p("proprhandle_trace_raw", h->proprhandle_trace_raw);
    d.p("proprhandle_trace_osd", h->proprhandle_trace_osd);
    d.p("proprhandle_trace_vld", h->proprhandle_trace_vld);
    d.u("proprhandle_os_min_block_size", h->proprhandle_os_min_block_size);
    d.u("proprhandle_islocal_only", h->proprhandle_islocal_only);
    d.p("proprhandle_levelarg", h->proprhandle_levelarg);
    d.u("proprhandle_upgrade_state", h->proprhandle_upgrade_state);
}

void dump_handle(trace_comp comp, proprhandle *h)
{
    HandleDump d(comp);
    d.u("proprhandle_bootlevel", h->proprhandle_bootlevel);
    d.p("metactx", h->metactx);
    d.p("proprhandle_sctx", h->proprhandle_sctx);
    d.p("proprhandle_cache", h->proprhandle_cache);
    dump_locations(d, h);
    dump_store(d, h);
    if (h->bootbuf != nullptr) trace_hexdump(comp, "proprdc_proprhandle: propb_ctx->bootbuf", h->bootbuf, kBootDumpLen);
    if (h->superbuf != nullptr)
        trace_hexdump(comp, "proprdc_proprhandle: propb_ctx->superbuf", h->superbuf, kSuperDumpLen);
    g_prop_ops.dump_undo_log(h);
    g_prop_ops.dump_free_space(h);
    dump_rest(d, h);
    proprvld_dump(h, comp);
}

}  // namespace

u32 proprdc(backend_ctx *ctx)
{
    trace_comp raw = trace_component_named(TRACE_RAW);
    if (ctx == nullptr) {
        trace_print(raw, 0, "proprdc: backend_ctx is NULL");
        return PROP_E_STORAGE;
    }
    proprhandle *h = ctx->propb_ctx;
    if (h == nullptr) {
        trace_print(raw, 0, "proprdc: handle is NULL");
        return PROP_E_STORAGE;
    }
    if (h->proprhandle_trace_raw != nullptr) raw = h->proprhandle_trace_raw;
    trace_print(raw, 0, "proprdc: backend_ctx->prop_ctx_tag=%.9s", ctx->prop_ctx_tag);
    trace_print(raw, 0, "proprdc: backend_ctx->prop_valid=%d", static_cast<int>(ctx->prop_valid));
    trace_print(raw, 0, "proprdc: backend_ctx->prop_boot_mode=%d", static_cast<int>(ctx->prop_boot_mode));
    trace_print(raw, 0, "proprdc: begin dumping backenctx->prop_ctx");
    dump_handle(raw, h);
    trace_print(raw, 0, "proprdc: end dumping backenctx->propb_ctx");
    trace_print(raw, 0, "proprdc: backend_ctx->metactx=[0x%x]", u_ptr32(ctx->metactx));
    trace_print(raw, 0, "proprdc: backend_ctx->prop_sctx=[0x%x]", u_ptr32(ctx->prop_sctx));
    trace_print(raw, 0, "proprdc: backend_ctx->prop_mutex=[0x%x]", static_cast<unsigned>(ctx->prop_mutex));
    trace_print(raw, 0, "proprdc: backend_ctx->prop_sclsctx=[0x%x]", u_ptr32(ctx->prop_sclsctx));
    trace_print(raw, 0, "proprdc: backend_ctx->prop_ctx_zkvctx=[0x%x]", u_ptr32(ctx->prop_ctx_zkvctx));
    return 0;
}
