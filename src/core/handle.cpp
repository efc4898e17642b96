#include "core/handle.h"

#include "core/keyname.h"

namespace {

struct component_spec {
    const char *description;
    const char *short_name;
    trace_comp proprhandle::*slot;
};

constexpr component_spec kComponents[] = {
    {"ZKV rawdevice component", TRACE_RAW, &proprhandle::proprhandle_trace_raw},
    {"ZKV osd component", TRACE_OSD, &proprhandle::proprhandle_trace_osd},
    {"ZKV vld component", TRACE_VLD, &proprhandle::proprhandle_trace_vld},
};

}  // namespace

u32 proprut_compreg(proprhandle *handle)
{
    if (handle == nullptr) {
        trace_print(nullptr, 0, "proprut_compreg: handle is NULL");
        return PROP_E_STORAGE;
    }
    for (const component_spec &c : kComponents) {
        trace_comp comp = trace_register(c.description, c.short_name, 1024, 1, 1);
        handle->*c.slot = comp;
        if (comp == nullptr) {
            // Lines of this component go to the default one; not an error.
            trace_print(nullptr, 0, "proprut_compreg: Could not register the trace component [%s]", c.short_name);
            continue;
        }
        u32 level = 0;
        if (u_get_env_loglevel(c.short_name, &level, nullptr) == 0) trace_set_level(comp, level);
        trace_print(comp, 2, "proprut_compreg: Registered the trace component [%s]", c.short_name);
    }
    return 0;
}
