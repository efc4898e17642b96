// The undo log: before a page of the tnode area is overwritten the first
// time in a transaction, its old image goes to a log slot, then the log
// metadata that counts it, and only then may the page change.  A live log
// (boot-block byte 200 = 1) is rolled back by recovery.
#pragma once

#include "core/handle.h"
#include "txn/pending.h"

struct propr_log {
    u32 propr_log_lsn;             // current transaction; +1 at each begin
    u32 propr_log_opid;            // operation of the open transaction, 0 = none
    u32 propr_log_nodenum;
    u32 propr_log_ltail;           // images saved in this transaction
    u32 *propr_log_tnode_list;     // their page numbers, in order
    u32 propr_log_tnode_list_max;
    propr_listset *propr_log_tnode_set;
    u8 *propr_log_buf;             // the log metadata block as it stands
    propr_pending propr_log_pending;  // pages changed, not yet written
};

// Creates the log record (if absent), a fresh metadata buffer and an empty
// saved-page list; PROP_OK or PROP_E_NOMEM (nothing allocated by this call is kept).
// proprutilog: init log: allocate the undo log record.
u32 proprutilog(proprhandle *handle);
// The lsn the next transaction follows on from, as the opening of the
// locations found it; creates the log record (without buffers) when
// absent.  Fits proprio_hooks::set_log_lsn.  PROP_OK, PROP_E_STORAGE or PROP_E_NOMEM.
u32 proprut_set_log_lsn(proprhandle *handle, u32 lsn);
// Gives back the log record and its buffers.
void proprut_free_log(proprhandle *handle);
// Opens a transaction: writes the log metadata, then the boot block with
// its log-valid byte set.  PROP_OK, PROP_E_STORAGE, or the write error.
// proprutbeginlog: begin log: start a transaction.
u32 proprutbeginlog(proprhandle *handle, u32 opid);
// *exists = 1 when page already has an image in this transaction or was
// allocated in it.  PROP_OK, PROP_E_CTX (no handle) or PROP_E_NULL (no out parameter).
// proprutlogexists: log exists: is the page already saved or new in this transaction.
u32 proprutlogexists(proprhandle *handle, u32 page, u32 *exists);
// Saves the image of page (image, or read from the store when NULL) in the
// next log slot.  PROP_OK, PROP_E_NOSPACE (log full), PROP_E_STORAGE, or the read or write error.
// proprutlog: log: save the undo image of a page.
u32 proprutlog(proprhandle *handle, u32 page, const u8 *image);
// Writes a changed address page without an undo image: in place when it is
// new in (or already logged by) this transaction, otherwise to a fresh page
// that replaces it (*page and buffer then name and hold the copy, and the
// old page is freed at commit).  PROP_OK, PROP_E_NOSPACE, PROP_E_STORAGE, or the write error.
u32 proprut_log_addrpage(proprhandle *handle, u32 *page, u8 *buffer);
