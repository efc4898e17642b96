#include "served.h"

#include <algorithm>

#include "value.h"

namespace propctl {

std::string served_socket(const std::string &dir)
{
    return dir + "/propregd.sock";
}

prc_conn *connect_served(const std::string &dir)
{
    prc_conn *conn = nullptr;
    if (prc_connect(served_socket(dir).c_str(), &conn) != 0) return nullptr;
    return conn;
}

uint32_t DaemonReader::read(const std::string &name, Value *value, std::vector<std::string> *subkeys)
{
    prc_key key = 0;
    uint32_t rc = prc_open(conn_, name.c_str(), &key);
    if (rc == 0 && value != nullptr) rc = read_value(key, value);
    if (rc == 0 && subkeys != nullptr) rc = read_subkeys(key, subkeys);
    // Closing fails only with the connection, which the next request finds.
    if (key != 0) prc_close_key(conn_, key);
    return rc;
}

uint32_t DaemonReader::read_value(prc_key key, Value *out)
{
    // Most values fit; a larger one says its size and is asked again.
    std::string buf(4096, '\0');
    for (;;) {
        uint32_t size = static_cast<uint32_t>(buf.size());
        uint32_t type = 0;
        const uint32_t rc = prc_get_value(conn_, key, &type, buf.data(), &size);
        if (rc == PROP_E_BUFSZ && size > buf.size()) {
            buf.resize(size);
            continue;
        }
        if (rc != 0) return rc;
        buf.resize(size);
        out->type = type;
        out->data = std::move(buf);
        return 0;
    }
}

uint32_t DaemonReader::read_subkeys(prc_key key, std::vector<std::string> *out)
{
    char *names = nullptr;
    uint32_t count = 0;
    const uint32_t rc = prc_enum_subkeys(conn_, key, &names, &count);
    if (rc != 0) return rc;
    for (const char *at = names; names != nullptr && out->size() < count && *at != '\0';) {
        out->emplace_back(at);
        at += out->back().size() + 1;
    }
    prc_free(names);
    std::sort(out->begin(), out->end());
    return 0;
}

}  // namespace propctl
