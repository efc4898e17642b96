#include "counting.h"

IoCounter::IoCounter() : env_(env_posix()), previous_(env_install(&env_)) {}

IoCounter::~IoCounter()
{
    env_install(previous_);
}

IoCount IoCounter::now(const std::vector<std::string> &paths) const
{
    IoCount c;
    for (const std::string &p : paths) {
        c.writes.push_back(env_.writes(p.c_str()));
        c.reads.push_back(env_.reads(p.c_str()));
        c.barriers.push_back(env_.barriers(p.c_str()));
    }
    return c;
}

IoCount io_delta(const IoCount &before, const IoCount &after)
{
    IoCount d = after;
    for (size_t i = 0; i < d.writes.size() && i < before.writes.size(); i++) {
        d.writes[i] -= before.writes[i];
        d.reads[i] -= before.reads[i];
        d.barriers[i] -= before.barriers[i];
    }
    return d;
}
