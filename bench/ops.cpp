#include "ops.h"

#include <cstdio>

const std::vector<OpInfo> &all_ops()
{
    static const std::vector<OpInfo> ops = {
        {Op::set_100, "set-value 100 B", 100, 200, 5},
        {Op::set_8k, "set-value 8 KB", 8192, 200, 5},
        {Op::set_80k, "set-value 80 KB", 80000, 50, 3},
        {Op::get, "get-value 100 B", 100, 500, 5},
        {Op::open_cached, "open cached key", 0, 500, 5},
        {Op::create, "create-key", 0, 200, 5},
        {Op::batch_create, "batch: create 1000 keys", 0, 5, 2},
        {Op::delete_tree, "recursive delete 1000 keys", 0, 5, 2},
    };
    return ops;
}

std::string numbered(const char *prefix, u32 n)
{
    char name[32];
    std::snprintf(name, sizeof name, "%s%u", prefix, n);
    return name;
}

std::string child_name(u32 i)
{
    char name[16];
    std::snprintf(name, sizeof name, "k%04u", i);
    return name;
}
