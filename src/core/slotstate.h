// The state of a location slot has one owner: every change goes through
// slot_set_state, which holds the handle's I/O mutex while it writes.
// Reads made under that mutex, or before the mutex exists (one thread
// opens the handle), may look at the field directly.
//
// The changes the store makes, and where each is made:
//
//   from            to            made by
//   any             UNCONFIGURED  utopen, before it opens the set again;
//                                 proprio_reinit, for a new configuration
//   UNCONFIGURED    UNUSABLE      utopen, until a file location is open;
//                                 proprioo, a volume-manager file that fails
//   UNUSABLE        OPEN          utopen, once the file location is open
//   UNCONFIGURED    OPEN          proprioo, once a volume-manager file is open
//   OPEN            STALE         the vote checks at open (propriovck,
//                                 propriomck): a copy behind the others
//   STALE           OPEN          propriosync, once the copy caught up
//   OPEN, STALE     UNUSABLE      a failed read (proprior), write group
//                                 (propriow), vote write (propriowv_bootbuf),
//                                 copy source (proprio_copy), probe
//                                 (prop_precheck_confchange) or copy target
//                                 (propriosync); an undo or volume-manager
//                                 sync that fails in proprrecover
//   any             UNUSABLE      dev_replace, for the slot it replaces or adds
//   UNUSABLE        any           dev_replace, putting that slot back when
//                                 the change fails
//   any             CLOSED        utclose, a file location it closed;
//                                 propriocl, every slot
//
// CORRUPT is what a check reports about a location; a handle never holds
// it.  Any other change (say CLOSED -> OPEN: a slot used again without
// being opened) is traced and still made.
#pragma once

#include "core/handle.h"

// Holds the handle's I/O mutex for a scope.  The mutex is recursive: a
// configuration pre-check holds it while the vote hand-over it triggers
// takes it again.  A handle whose mutex was never created is not locked.
class IoLock {
  public:
    explicit IoLock(proprhandle *handle);
    ~IoLock();
    IoLock(const IoLock &) = delete;
    IoLock &operator=(const IoLock &) = delete;

  private:
    plat_mutex *mx_;
};

// Moves slot to state under the I/O mutex; who names the caller in the
// trace of a change the table above does not list.
void slot_set_state(proprhandle *handle, u32 slot, u32 state, const char *who);

// Whether the table above lists the change from -> to.
bool slot_change_expected(u32 from, u32 to);
