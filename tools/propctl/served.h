// propctl as a client of the daemon that serves a root.
#pragma once

#include <string>

#include "propreg/client.h"

namespace propctl {

// The socket of the daemon serving the root directory dir.
std::string served_socket(const std::string &dir);
// The daemon serving the root directory dir, connected; nullptr when none
// answers at its socket.
prc_conn *connect_served(const std::string &dir);

// Codes at or above this one are the connection's, not the store's.
inline constexpr uint32_t kFirstClientCode = PRC_E_CONNECT;

}  // namespace propctl
