// The page checker: reads each location file around the library and
// proves the store is whole.  From the boot block it finds the current
// superblock and bitmap copies, walks every tnode from the root with the
// value, KCE and ADDR pages each names, and requires that every page is
// reached exactly once, that the bitmaps mark exactly the pages reached,
// that every block met has a valid header, its own block number and a
// checksum that verifies, that no undo log is live, and that every
// location holds the same tree pages, bitmaps and commit.
#pragma once

#include <string>
#include <vector>

// The faults found, one line each; none for a whole store.
std::vector<std::string> check_pages(const std::vector<std::string> &locations);
