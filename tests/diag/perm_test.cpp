// The recursive permission check reaches every key below the one asked
// about, wherever its entry lies.
#include "diag_fixture.h"
#include "tree/kce_pages.h"

namespace {

class Perm : public DiagTest {};

TEST_F(Perm, AGrandchildBehindAnAddrPageDecides)
{
    const sec_attr &sec = store.top_security();
    Key top = v.create(v.open("SYSTEM"), "top", sec);
    // 13 long entries fill the tnode, 15 a KCE page, 25 KCE pages the
    // tnode's list: the last children sit in KCE pages an ADDR page lists.
    BatchBuilder b;
    for (uint32_t i = 0; i < 400; i++) b.add(PROP_BATCH_CREATE_KEY, top.get(), long_name(i).c_str()).sec = sec;
    ASSERT_EQ(prop_batch_execute(ctx(), b.get(), 0), PROP_OK);
    for (propr_keyhandle *h : b.take_handles()) prop_close(ctx(), h);
    ASSERT_NE(be32(page_bytes(tnode_page(top)), KCE_LIST_ADDR), 0u) << "the children reach an ADDR page";

    Key last = v.open(("SYSTEM.top." + long_name(399)).c_str());
    Key grandchild = v.create(last, "g", make_sec("nobody-here", "no-group-here", 63, 0, 0));
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), top.get(), PROP_PERM_READ), PROP_E_PERM);
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), last.get(), PROP_PERM_READ), PROP_E_PERM);

    ASSERT_EQ(prop_set_security(ctx(), grandchild.get(), &sec, 0), PROP_OK);
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), top.get(), PROP_PERM_READ), PROP_OK);
}

TEST_F(Perm, BadHandlesAreRefused)
{
    Key system = v.open("SYSTEM");
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), nullptr, PROP_PERM_READ), PROP_E_KEYH);
    propr_keyhandle *kh = system.get();
    kh->propr_keyhandle_tag[0] = 'X';
    EXPECT_EQ(prop_check_perm_recurse(ctx(), store.sec(), kh, PROP_PERM_READ), PROP_E_KEYH);
    kh->propr_keyhandle_tag[0] = 'P';
    EXPECT_EQ(prop_check_perm_recurse(nullptr, store.sec(), kh, PROP_PERM_READ), PROP_E_CTX);
}

}  // namespace
