// Requests per second and latency through propregd, with one client and
// with eight, beside the library called directly from as many threads and
// SQLite (WAL, synchronous=FULL) with as many connections: get-value and
// set-value of 100 bytes, each client on a key of its own, on one durable
// location.  Set-value runs with the daemon's group commit and without.
// The one-client and eight-client rows of a system run in alternating
// rounds, so that both see the device in the same moods.
#pragma once

#include <cstdio>
#include <string>

struct Rate {
    bool ran = false;
    std::string why;
    double per_s = 0;
    double p50_us = 0;
    double p99_us = 0;
};

enum ServiceSystem { kLibrary, kDaemon, kDaemonAlone, kSqlite, kServiceSystems };

struct ServiceRows {
    // [system][0: one client, 1: eight]; kDaemonAlone only for set-value.
    Rate get[kServiceSystems][2];
    Rate set[kServiceSystems][2];
    bool ok() const;
};

// quick: a fraction of a second per row, to show that every row runs.
ServiceRows measure_service(const std::string &dir, bool quick);
void print_service(std::FILE *out, const ServiceRows &rows);
