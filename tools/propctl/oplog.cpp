#include "oplog.h"

namespace propctl {

namespace {

// Entries begin with "YYYY-MM-DD hh:mm:ss.mmm: ".
constexpr size_t kStampLength = 25;

}  // namespace

uint32_t logged(przkv_ctx *zkv, const std::function<uint32_t()> &call, std::vector<std::string> *lines)
{
    prop_oplog_list *log = prop_fe_oplog_attach(zkv);
    const uint32_t rc = call();
    for (prop_oplog_entry *e = log != nullptr ? log->head : nullptr; e != nullptr; e = e->next) {
        std::string line(e->line);
        lines->push_back(line.size() > kStampLength ? line.substr(kStampLength) : line);
    }
    prop_fe_oplog_detach(zkv);
    return rc;
}

}  // namespace propctl
