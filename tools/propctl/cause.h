// Why the storage under a store failed, told in terms of what an operator
// can fix: the file that cannot be opened or written and the system's
// reason, or the disk group that is not there.  The library's code says
// only that the storage cannot be reached; the system error it recorded
// and a look at the files and disk groups say why.
#pragma once

#include <string>
#include <vector>

#include "output.h"
#include "propreg/prop.h"

namespace propctl {

// A file or disk group a command works on.  created: the command makes it
// (a backup, an export), so its absence is no fault.
struct Involved {
    std::string name;
    bool created = false;
};

// The system error the library recorded for the calling thread (0: none),
// and forgetting it, so that an old one is never taken for a new failure.
int recorded_errno(przkv_ctx *zkv);
void forget_recorded(przkv_ctx *zkv);

// The cause of a storage failure: err is the recorded system error, 0 when
// there is none (the files are then opened to find it).  writable: the
// store was opened for writing, as a writer's files must be.  An empty
// reason when nothing more is known.
Cause storage_cause(int err, const std::vector<Involved> &names, bool writable);

// What err means for file, for people ("permission denied on FILE (owner
// root, mode 0600): ..."), and the exit status it calls for.
Cause file_cause(int err, const std::string &file);

// The system error named in a text the library filled with the system's
// own words (a configuration reader's message); 0 when there is none.
int errno_in_text(const std::string &text);
// What the system error means for whoever runs propctl, with the way out.
std::string errno_advice(int err);

// "mirror copy M of the boot block of NAME is damaged" for the first store
// file in a disk group whose boot-block copies disagree; "" for none.
std::string damaged_boot_block(const std::vector<std::string> &locations);

}  // namespace propctl
