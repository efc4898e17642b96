// Creating a child's tnode with its security, and link entries.
#include <gtest/gtest.h>

#include <cstring>

#include "core/handle.h"
#include "propreg/frontend.h"
#include "tree/childnode.h"
#include "tree/kce.h"
#include "tree/security.h"
#include "tree/tnode.h"
#include "tree/tree_store.h"
#include "txn/log.h"

namespace {

sec_attr security(u32 user, u32 group, u32 other, const char *owner, const char *grp)
{
    sec_attr s{};
    s.userperm = user;
    s.groupperm = group;
    s.otherperm = other;
    std::strcpy(s.username, owner);
    std::strcpy(s.groupname, grp);
    return s;
}

class ChildNode : public ::testing::Test {
  protected:
    TreeStore store{RawStoreOptions{.numpage = 8}};
    proprhandle *h = store.handle();
    key_desc *root = key_desc_alloc(h->metactx);
    key_desc *child = key_desc_alloc(h->metactx);

    void SetUp() override
    {
        ASSERT_EQ(proprutbeginlog(h, 12), 0u);
        ASSERT_EQ(proprutlog(h, 0, nullptr), 0u);
        root->kd_entry = 0x42;
    }
    void TearDown() override
    {
        key_desc_free(h->metactx, root);
        key_desc_free(h->metactx, child);
    }
};

TEST_F(ChildNode, NewTnodeCarriesItsSecurityAndIsFoundUnderItsParent)
{
    sec_attr sec = security(300, PROP_PERM_READ, PROP_PERM_QUERY_KEY, "alice", "staff");
    ASSERT_EQ(proprutcstnode(h, root, child, "SYSTEM", &sec), 0u);
    EXPECT_STREQ(child->kd_name, "SYSTEM");
    EXPECT_EQ(child->kd_namelen, 6u);
    EXPECT_EQ(child->kd_parent, 0u);
    EXPECT_EQ(child->kd_entry, 0x42u);
    u32 page = child->kd_tnode;
    ASSERT_NE(page, 0u);

    Block t = store.page(page);
    EXPECT_EQ(proprut_isblk_valid_buf(t.data(), PROPR_BLK_TNODE), 1u);
    EXPECT_EQ(hdr_verify_checksum(t.data(), 4096), 0u);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_OWNER_ID), 1u);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_GROUP_ID), 1u);
    EXPECT_EQ(t[TNODE_OFF_USER_PERM], 44);  // the low byte of 300
    EXPECT_EQ(t[TNODE_OFF_GROUP_PERM], PROP_PERM_READ);
    EXPECT_EQ(t[TNODE_OFF_OTHER_PERM], PROP_PERM_QUERY_KEY);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_NUM_SUBKEY), 0u);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_FREE_SPACE_SZ), 3514u);
    EXPECT_EQ(be32_at(t.data(), TNODE_OFF_END_OF_FSP), 4096u);
    char name[PROP_NAME_SIZE];
    u32 len = sizeof name;
    ASSERT_EQ(proprutidtoname(h, 1, &len, name, NAME_KIND_GROUP), 0u);
    EXPECT_STREQ(name, "staff");

    key_desc found{};
    ASSERT_EQ(proprutfkce(h, 0, "SYSTEM", &found), PROP_R_FOUND);
    EXPECT_EQ(found.kd_tnode, page);
    EXPECT_EQ(found.kd_entry, 0x42u);
    // The new page needs no undo image: only the root's was saved.
    EXPECT_EQ(h->proprhandle_propr_log->propr_log_ltail, 1u);

    // A grandchild under the new key.
    key_desc *grand = key_desc_alloc(h->metactx);
    sec_attr other = security(63, 63, 0, "bob", "");
    ASSERT_EQ(proprutlog(h, page, nullptr), 0u);
    EXPECT_EQ(proprutcstnode(h, child, grand, "Setting", &other), 0u);
    EXPECT_EQ(grand->kd_parent, page);
    EXPECT_EQ(be32_at(store.page(grand->kd_tnode).data(), TNODE_OFF_OWNER_ID), 2u);
    EXPECT_EQ(be32_at(store.page(grand->kd_tnode).data(), TNODE_OFF_GROUP_ID), 0u);
    ASSERT_EQ(proprutfkce(h, page, "Setting", &found), PROP_R_FOUND);
    key_desc_free(h->metactx, grand);
}

TEST_F(ChildNode, LinkEntryPointsAtAnExistingTnode)
{
    sec_attr sec = security(63, 63, 63, "alice", "staff");
    ASSERT_EQ(proprutcstnode(h, root, child, "target", &sec), 0u);
    key_desc *link = key_desc_alloc(h->metactx);
    EXPECT_EQ(proprutcltnode(h, root, child->kd_tnode, link, "alias"), 0u);
    key_desc found{};
    ASSERT_EQ(proprutfkce(h, 0, "alias", &found), PROP_R_FOUND);
    EXPECT_EQ(found.kd_tnode, child->kd_tnode);
    EXPECT_EQ(be32_at(store.page(0).data(), TNODE_OFF_NUM_SUBKEY), 2u);
    key_desc_free(h->metactx, link);
}

TEST_F(ChildNode, FailuresReturnTheirCodeAndLeakNothing)
{
    sec_attr sec = security(63, 63, 63, "alice", "staff");
    // Pages 1 to 7 are free: seven children, then no page is left.
    for (int i = 0; i < 7; i++) {
        key_desc *kd = key_desc_alloc(h->metactx);
        ASSERT_EQ(proprutcstnode(h, root, kd, ("k" + std::to_string(i)).c_str(), &sec), 0u);
        key_desc_free(h->metactx, kd);
    }
    EXPECT_EQ(proprutcstnode(h, root, child, "k7", &sec), PROP_E_NOSPACE);

    u64 live = store.live_blocks();
    prop_fe_meta_fail_from(h->metactx, 1);
    EXPECT_EQ(proprutcstnode(h, root, child, "k8", &sec), PROP_E_NOMEM);
    prop_fe_meta_fail_from(h->metactx, 0);
    EXPECT_EQ(store.live_blocks(), live);

    sec_attr nobody = security(63, 63, 63, "", "staff");  // an owner needs a name
    u32 id = 0;
    EXPECT_EQ(proprutnametoid(h, "", &id, NAME_KIND_OWNER), PROP_E_STORAGE);
    tnode node{};
    EXPECT_EQ(proprssec_tnode(h, &node, &nobody), PROP_E_STORAGE);
}

}  // namespace
