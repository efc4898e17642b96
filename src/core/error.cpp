#include "core/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/alloc.h"
#include "platform/thread.h"
#include "platform/trace.h"

namespace {

constexpr size_t kThreadIdMax = 257;  // 256 characters and the zero
constexpr size_t kTextSize = sizeof(prop_errelem{}.text);

trace_comp utl()
{
    static trace_comp comp = trace_component_named(TRACE_UTL);
    return comp;
}

// Threads without an element of their own share the global one; this keeps
// their writes to it whole.
std::mutex &global_writes()
{
    static std::mutex mu;
    return mu;
}

class ElementWrite {
  public:
    ElementWrite(const przkv_ctx *zkv, const prop_errelem *e)
    {
        if (e == zkv->errtab.global) lock_ = std::unique_lock<std::mutex>(global_writes());
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

bool have_table(const przkv_ctx *zkv)
{
    return zkv->errtab.global != nullptr && zkv->errtab.table != nullptr && zkv->errtab.ops != nullptr &&
           zkv->errtab.ops->find != nullptr && zkv->errtab.ops->insert != nullptr;
}

const char *catalogue_text(const przkv_ctx *zkv, u32 number)
{
    if (zkv->catalogue == nullptr || zkv->msgtext == nullptr) return "";
    const char *t = zkv->msgtext(zkv->catalogue, number);
    return t != nullptr ? t : "";
}

// The catalogue's text is the format here, so it cannot be checked at
// compile time; the catalogue promises the argument types of each number.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void format_catalogue(char *out, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(out, size, format, ap);
    va_end(ap);
}
#pragma GCC diagnostic pop

// "<facility>-<code>: <catalogue text>"
void code_text(const przkv_ctx *zkv, u32 code, char *out, size_t size)
{
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%s-%d: ", zkv->facility != nullptr ? zkv->facility : "",
                  static_cast<int>(code));
    std::snprintf(out, size, "%s%.*s", prefix, static_cast<int>(kTextSize - std::strlen(prefix)),
                  catalogue_text(zkv, code));
}

}  // namespace

void u_get_error(przkv_ctx *zkv, const char *thread_id, prop_errelem **out)
{
    if (out == nullptr) {
        trace_print(utl(), 0, "u_get_error: Error element was NULL");
        return;
    }
    *out = nullptr;
    if (zkv == nullptr) {
        trace_print(utl(), 0, "u_get_error: ZKV context was NULL. Cannot retrieve the error element.");
        return;
    }
    char key[kThreadIdMax];
    if (thread_id != nullptr) {
        std::snprintf(key, sizeof key, "%s", thread_id);
    } else if (plat_thread_id_text(key, sizeof key) != 0) {
        trace_print(utl(), 4, "u_get_error: Failed to initialize the thread id. Using the global error element.");
        *out = zkv->errtab.global;
        return;
    }
    u_get_error_hashkey(zkv, key, out);
}

void u_get_error_hashkey(przkv_ctx *zkv, const char *key, prop_errelem **out)
{
    if (out == nullptr || zkv == nullptr) return;
    *out = zkv->errtab.global;
    if (key == nullptr || !have_table(zkv)) return;
    const prop_strtab_ops *ops = zkv->errtab.ops;
    if (prop_errelem *e = ops->find(zkv->errtab.table, key)) {
        *out = e;
        return;
    }
    trace_print(utl(), 4, "u_get_error_hashkey: Thread [%s] not in table. Inserting.", key);
    if (u_insert_error(zkv, key) != 0) {
        trace_print(utl(), 0,
                    "u_get_error_hashkey: Failed to insert new error element for thread [%s]. Using the global error element.",
                    key);
        return;
    }
    prop_errelem *e = ops->find(zkv->errtab.table, key);
    if (e == nullptr) {
        trace_print(utl(), 0,
                    "u_get_error_hashkey: Failed to retrieve error element after inserting for thread [%s]. Using the global error context.",
                    key);
        return;
    }
    *out = e;
}

u32 u_insert_error(przkv_ctx *zkv, const char *key)
{
    if (zkv == nullptr || key == nullptr || !have_table(zkv)) {
        trace_print(utl(), 0,
                    "u_insert_error: One of the parameter is NULL. ZKV context [%p] hashkey[%p]. Cannot insert the error element.",
                    static_cast<void *>(zkv), static_cast<const void *>(key));
        return 1;
    }
    size_t n = std::strlen(key);
    MetaPtr<char> hashkey(zkv->metactx, u_alloc_array<char>(zkv->metactx, n + 1));
    if (!hashkey) {
        trace_print(utl(), 0, "u_insert_error: Error allocating memory for hashkey.");
        return 1;
    }
    std::memcpy(hashkey.get(), key, n + 1);
    auto elem = MetaPtr<prop_errelem>::alloc(zkv->metactx);
    if (!elem) {
        trace_print(utl(), 0, "u_insert_error: Error allocating memory for hashelement.");
        return 1;
    }
    int rc = zkv->errtab.ops->insert(zkv->errtab.table, hashkey.get(), elem.get());
    if (rc != 0) {
        trace_print(utl(), 0, "u_insert_error: Hashkey %s insert failed with retval %d", key, rc);
        return 1;
    }
    hashkey.release();  // the table owns both now
    elem.release();
    trace_print(utl(), 5, "u_insert_error: Hashkey %s insert successful", key);
    return 0;
}

void u_set_zkv_error(przkv_ctx *zkv, const char *thread_id, u32 code)
{
    if (zkv == nullptr) {
        trace_print(utl(), 0, "u_set_zkv_error: ZKV context was NULL. Cannot set the zkv error.");
        return;
    }
    if (!have_table(zkv) || zkv->msgtext == nullptr) {
        trace_print(utl(), 0, "u_set_zkv_error: Parameter was NULL");
        return;
    }
    prop_errelem *e = nullptr;
    u_get_error(zkv, thread_id, &e);
    if (e == nullptr) return;
    trace_print(utl(), 4, "u_set_zkv_error: Setting zkv error [%d]", static_cast<int>(code));
    if (zkv->catalogue == nullptr) trace_print(utl(), 1, "u_set_zkv_error: Message catalogue is not initialized.");
    char text[kTextSize];
    code_text(zkv, code, text, sizeof text);
    ElementWrite guard(zkv, e);
    e->code = code;
    __atomic_store_n(&zkv->errtab.global->code, code, __ATOMIC_RELAXED);
    std::snprintf(e->text, sizeof e->text, "%s", text);
}

void u_set_comp_error(przkv_ctx *zkv, const char *thread_id, u32 msgno, u32 arg, u32 arg2,
                      const char *text)
{
    if (zkv == nullptr) {
        trace_print(utl(), 0, "u_set_comp_error: ZKV context was NULL. Cannot set the component error.");
        return;
    }
    prop_errelem *e = nullptr;
    u_get_error(zkv, thread_id, &e);
    if (e == nullptr) return;
    trace_print(utl(), 4, "u_set_comp_error: Setting comp error [%d] for comp type [%d]", static_cast<int>(arg),
                static_cast<int>(msgno));
    const char *t = text != nullptr ? text : "";
    char formatted[sizeof e->comp_text];
    if (msgno == PROP_COMPMSG_FREE)
        std::snprintf(formatted, sizeof formatted, "%s", t);
    else
        format_catalogue(formatted, sizeof formatted, catalogue_text(zkv, msgno), arg, arg2, t);
    ElementWrite guard(zkv, e);
    e->comp_msg = msgno;
    e->comp_arg = arg;
    std::snprintf(e->comp_text, sizeof e->comp_text, "%s", formatted);
}

void u_reset_error(przkv_ctx *zkv, const char *thread_id)
{
    if (zkv == nullptr) {
        trace_print(utl(), 0, "u_reset_error: ZKV context was NULL. Cannot reset the error element.");
        return;
    }
    prop_errelem *e = nullptr;
    u_get_error(zkv, thread_id, &e);
    if (e == nullptr) return;
    ElementWrite guard(zkv, e);
    e->code = 0;
    e->comp_msg = 0;
    e->comp_arg = 0;
    e->text[0] = '\0';
    e->comp_text[0] = '\0';
}

void u_fill_errorbuf(przkv_ctx *zkv, char *buf, size_t size, u32 code)
{
    if (zkv == nullptr || buf == nullptr || size == 0) return;
    if (!have_table(zkv) || zkv->catalogue == nullptr || zkv->msgtext == nullptr) return;
    char text[kTextSize];
    code_text(zkv, code, text, sizeof text);
    std::snprintf(buf, size, "%s", text);
    trace_print(utl(), 4, "u_fill_errorbuf: Error Info : [%s]", buf);
}
