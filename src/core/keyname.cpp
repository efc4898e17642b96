#include "core/keyname.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "platform/trace.h"

namespace {

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

// A scratch copy of s from the meta context.
char *copy_string(prop_metactx *meta, const char *s)
{
    size_t n = std::strlen(s);
    auto *p = static_cast<char *>(u_allocm(meta, n + 1));
    if (p != nullptr) std::memcpy(p, s, n + 1);
    return p;
}

// The first non-empty component of s, in place (s is modified).
char *first_component(char *s)
{
    char *save = nullptr;
    return strtok_r(s, ".", &save);
}

}  // namespace

u32 u_get_keydepth(prop_metactx *meta, const char *keyname, u32 *depth, char *last_component,
                   char *parent_name)
{
    if (keyname == nullptr) {
        trace_print(utl(), 0, "u_get_keydepth: keyname passed was NULL");
        return 1;
    }
    bool want_names = last_component != nullptr && parent_name != nullptr;
    trace_print(utl(), 4, "u_get_keydepth: keyname [%s], keyname ptr [%p]", keyname,
                static_cast<const void *>(keyname));
    MetaPtr<char> copy(meta, copy_string(meta, keyname));
    if (!copy) {
        trace_print(utl(), 0, "u_get_keydepth:1' alloc returned NULL");
        return 1;
    }
    u32 n = 0;
    char *save = nullptr;
    for (char *tok = strtok_r(copy.get(), ".", &save); tok != nullptr; tok = strtok_r(nullptr, ".", &save)) {
        n++;
        if (want_names) std::strcpy(last_component, tok);
    }
    if (depth != nullptr) *depth = n;
    if (want_names) {
        std::strcpy(copy.get(), keyname);
        char *dot = std::strrchr(copy.get(), '.');
        if (dot == nullptr) {
            std::strcpy(last_component, keyname);
            std::strcpy(parent_name, " ");
        } else {
            *dot = '\0';
            std::strcpy(parent_name, copy.get());
        }
        trace_print(utl(), 4, "u_get_keydepth: The keyname [%s] has depth %d. subkey [%s] and prefix [%s]",
                    keyname, static_cast<int>(n), last_component, parent_name);
    } else {
        trace_print(utl(), 4, "u_get_keydepth: The keyname [%s] has depth %d. ", keyname, static_cast<int>(n));
    }
    return 0;
}

u32 u_ator(prop_metactx *meta, const char *parent, const char *subkey, char *out)
{
    if (parent == nullptr || subkey == nullptr || out == nullptr) {
        trace_print(utl(), 0, "u_ator: One of the passes strings was NULL");
        return 1;
    }
    out[0] = '\0';
    trace_print(utl(), 4, "ou_ator: parent_key_name [%s], subkey [%s], rel_key_path [%s]", parent, subkey,
                out);
    MetaPtr<char> pcopy(meta, copy_string(meta, parent));
    if (!pcopy) {
        trace_print(utl(), 0, "u_ator:1': Alloc temp parent key returned NULL");
        return 1;
    }
    MetaPtr<char> scopy(meta, copy_string(meta, subkey));
    if (!scopy) {
        trace_print(utl(), 0, "u_ator:2': Alloc temp sub key returned NULL");
        return 1;
    }
    const char *proot = first_component(pcopy.get());
    const char *sfirst = first_component(scopy.get());
    trace_print(utl(), 4, "u_ator: parent_key_root [%s], subkey_comp_first [%s]", proot ? proot : "",
                sfirst ? sfirst : "");
    if (proot == nullptr || sfirst == nullptr || std::strcmp(proot, sfirst) != 0) {
        std::strcpy(out, subkey);
    } else {
        trace_print(utl(), 4, "u_ator: checking; parent_key_name [%s] for subkey [%s]", parent, subkey);
        if (std::strstr(subkey, parent) == nullptr) {
            trace_print(utl(), 0, "u_ator: ERROR parent key name [%s] is not a substring of child key name [%s]",
                        parent, subkey);
            return 1;
        }
        if (std::strcmp(parent, subkey) == 0) {
            trace_print(utl(), 0,
                        "u_ator: ERROR parent key name [%s] is not a substring of the child key name [%s]",
                        parent, subkey);
            return 1;
        }
        size_t plen = std::strlen(parent);
        const char *rel = std::strlen(subkey) > plen ? subkey + plen + 1 : subkey + std::strlen(subkey);
        std::strcpy(out, rel);
        trace_print(utl(), 4, "u_ator: the temp key path is [%s], length [%d]", out,
                    static_cast<int>(std::strlen(out)));
    }
    trace_print(utl(), 4, "u_ator: the relative key name is %s", out);
    return 0;
}

u32 u_get_env_loglevel(const char *component, u32 *level, void *)
{
    if (component == nullptr) {
        trace_print(utl(), 0, "u_get_env_loglevel: Component name passed is NULL.");
        return 1;
    }
    if (level == nullptr) {
        trace_print(utl(), 0, "u_get_env_loglevel: loglvl passed is NULL.");
        return 1;
    }
    char value[4097];
    const char *env = std::getenv("ZKV_LOGGING_LEVEL");
    if (env == nullptr || *env == '\0') {
        trace_print(utl(), 4, "u_get_env_loglevel: Log level env is not retrieved.");
        return 1;
    }
    std::strncpy(value, env, sizeof value - 1);
    value[sizeof value - 1] = '\0';
    const char *at = std::strstr(value, component);
    if (at == nullptr) {
        trace_print(utl(), 4,
                    "u_get_env_loglevel: Logging level is not set for the compname [%s] in the env value [%s].",
                    component, value);
        return 1;
    }
    const char *delim = at + std::strlen(component);
    if (*delim != ':') {
        trace_print(utl(), 4,
                    "u_get_env_loglevel: Delimiter between compname [%s] and the logging level is not set properly. Env value:[%s].",
                    component, value);
        return 1;
    }
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(delim + 1, &end, 10);
    if (end == delim + 1 || errno != 0 || n < 0) {
        trace_print(utl(), 4,
                    "u_get_env_loglevel: Logging level for the compname[%s] is not properly set. Env value:[%s]",
                    component, value);
        return 1;
    }
    if (n < 6) {
        *level = static_cast<u32>(n);
        trace_print(utl(), 4,
                    "u_get_env_loglevel: Successfully retrieved the env based log level [%d] for  compname[%s]",
                    static_cast<int>(n), component);
        return 0;
    }
    trace_print(utl(), 4,
                "u_get_env_loglevel: Logging level [%d] set for the compname [%s] is not valid. Env value:[%s].",
                static_cast<int>(n), component, value);
    return 0;
}
