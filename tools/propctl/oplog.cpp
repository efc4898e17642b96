#include "oplog.h"

namespace propctl {

namespace {

// Entries begin with "YYYY-MM-DD hh:mm:ss.mmm: ".
constexpr size_t kStampLength = 25;
// The component message that carries a text of its own.
constexpr uint32_t kFreeText = 108;

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

uint32_t explained(przkv_ctx *zkv, const std::function<uint32_t()> &call, std::string *why)
{
    // Forgotten first, so that what is there after is this call's.
    if (prop_errelem *e = prop_fe_thread_error(zkv); e != nullptr) e->comp_msg = 0;
    const uint32_t rc = call();
    const prop_errelem *e = prop_fe_thread_error(zkv);
    why->clear();
    if (rc != 0 && e != nullptr && e->comp_msg == kFreeText) why->assign(e->comp_text);
    return rc;
}

}  // namespace propctl
