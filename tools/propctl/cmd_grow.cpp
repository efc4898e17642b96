// grow: a store's locations made larger, and the store with them; and the
// warning every write gives once the store is nearly full.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "storesize.h"

namespace propctl {

namespace {

constexpr double kNearlyFull = 90.0;

uint64_t pages_of_kb(uint64_t kb)
{
    return kb / 4;
}

// What may not grow, or cannot be grown to size: "" or why.
std::string refusal(const std::string &loc, uint64_t size)
{
    if (in_volume_manager(loc))
        return loc + " is in the volume manager, where a store file grows by the disk group's rules "
                     "(8240 blocks at a time up to 122921), not by grow";
    struct stat st;
    if (::stat(loc.c_str(), &st) != 0) return "cannot look at " + loc + ": " + std::strerror(errno);
    if (static_cast<uint64_t>(st.st_size) > size)
        return loc + " is " + size_text(static_cast<uint64_t>(st.st_size)) + " already: a store does not shrink";
    if (S_ISREG(st.st_mode)) return "";
    return loc + " is a device: it is as large as it is";
}

// Extends a location file (sparse) and makes its new size durable.
std::string extend(const std::string &loc, uint64_t size)
{
    int fd = ::open(loc.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return "cannot open " + loc + ": " + std::strerror(errno);
    std::string why;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::fsync(fd) != 0)
        why = "cannot make " + loc + " " + size_text(size) + ": " + std::strerror(errno);
    ::close(fd);
    return why;
}

std::string limit_text(const prop_status &st)
{
    return size_text(location_limit_bytes(pages_of_kb(st.limit_kb)));
}

int run_grow(Invocation &inv)
{
    uint64_t size = 0;
    std::string why;
    if (!parse_size(inv.args.args[0], &size, &why)) return inv.out.usage("grow: " + why);
    prop_status st{};
    if (uint32_t rc = store_sizes(inv.session.ctx(), &st); rc != 0) return inv.out.fail(inv.what, rc);
    // What kind of location it is matters before how large it may be.
    for (const std::string &loc : inv.session.desc().locations)
        if (std::string no = refusal(loc, size); !no.empty()) return inv.out.problem("grow: " + no);
    const uint64_t limit = location_limit_bytes(pages_of_kb(st.limit_kb));
    if (size > limit)
        return inv.out.problem("grow: this store can grow to " + size_text(limit) + " (" + std::to_string(limit) +
                               " bytes) without a new format; a larger one takes a new store (init --size) and an "
                               "export and import");
    for (const std::string &loc : inv.session.desc().locations)
        if (std::string no = extend(loc, size); !no.empty()) return inv.out.problem("grow: " + no);
    if (int s = inv.session.reopen(inv.what); s != 0) return s;
    if (uint32_t rc = prop_recover_numpage(inv.session.ctx()); rc != 0) return inv.out.fail(inv.what, rc);
    if (uint32_t rc = store_sizes(inv.session.ctx(), &st); rc != 0) return inv.out.fail(inv.what, rc);
    inv.out.line("the store holds " + std::to_string(pages_of_kb(st.total_kb)) + " pages now (" +
                 size_text(st.total_kb * 1024) + " of keys and values), " + std::to_string(pages_of_kb(st.used_kb)) +
                 " in use");
    inv.out.line("it can grow to " + limit_text(st) + " locations without a new format");
    Json j;
    j.begin_object().key("pages_total").num(pages_of_kb(st.total_kb)).key("pages_used").num(pages_of_kb(st.used_kb));
    j.key("limit_bytes").num(limit).end_object();
    inv.out.document(j);
    return 0;
}

Access grow_access(const Parsed &)
{
    // Only the caching level may change the size the store records.
    return Access::caching;
}

}  // namespace

uint32_t store_sizes(backend_ctx *ctx, prop_status *out)
{
    return prop_get_status(ctx, out, PROP_STATUS_SIZES | 4);
}

double percent_full(const prop_status &st)
{
    return st.total_kb == 0 ? 0.0 : 100.0 * static_cast<double>(st.used_kb) / static_cast<double>(st.total_kb);
}

void warn_when_full(Session &session, const Output &out)
{
    prop_status st{};
    if ((session.ctx() == nullptr && !session.served()) || session.store().sizes(&st) != 0) return;
    const double full = percent_full(st);
    if (full < kNearlyFull) return;
    char pct[16];
    std::snprintf(pct, sizeof pct, "%.1f%%", full);
    const bool room = st.limit_kb > st.total_kb;
    out.note(std::string("warning: the store is ") + pct + " full (" + std::to_string(pages_of_kb(st.used_kb)) +
             " of " + std::to_string(pages_of_kb(st.total_kb)) + " pages in use): " +
             (room ? "'propctl grow SIZE' makes it larger, up to " + limit_text(st)
                   : std::string("it cannot grow without a new format")));
}

void add_grow_commands(std::vector<Command> *table)
{
    table->push_back(Command{
        "grow",
        "SIZE",
        "make every location of the store SIZE large, and the store with them",
        "SIZE is a location's size in bytes, or with K, M, G or T (powers of 1024),\n"
        "as 'init --size' takes it.  Every location file is extended (sparse: the\n"
        "disk is used as keys are written) and the store takes the new pages at\n"
        "once.  How far a store can grow was fixed when it was made: a store made\n"
        "with --size can grow to four times that size, one made without it to\n"
        "about 590 MB; grow and status say the limit.  Locations in the volume\n"
        "manager grow by the disk group's own rules, and a device is as large as\n"
        "it is: grow refuses both.  A grow cut short leaves larger files and the\n"
        "store as it was; running it again completes it.\n",
        {},
        1,
        1,
        grow_access,
        run_grow,
        nullptr,
    });
}

}  // namespace propctl
