// propctl as a client of the daemon that serves a root: the connection,
// and the key reads over it.
#pragma once

#include <string>
#include <vector>

#include "keys.h"
#include "propreg/client.h"

namespace propctl {

// The daemon serving the root directory dir, connected; nullptr when none
// answers at its socket.
prc_conn *connect_served(const std::string &dir);
// The socket the daemon serving dir listens at.
std::string served_socket(const std::string &dir);

// Codes at or above this one are the connection's, not the store's.
inline constexpr uint32_t kFirstClientCode = PRC_E_CONNECT;

class DaemonReader : public KeyReader {
  public:
    explicit DaemonReader(prc_conn *conn) : conn_(conn) {}
    uint32_t read(const std::string &name, Value *value, std::vector<std::string> *subkeys) override;

  private:
    uint32_t read_value(prc_key key, Value *out);
    uint32_t read_subkeys(prc_key key, std::vector<std::string> *out);

    prc_conn *conn_;
};

}  // namespace propctl
