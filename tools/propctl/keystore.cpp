#include "keystore.h"

namespace propctl {

uint32_t KeyStore::read(const std::string &name, Value *value, std::vector<std::string> *names)
{
    Key key;
    uint32_t rc = open(name, &key);
    if (rc == 0 && value != nullptr) rc = this->value(key, value);
    if (rc == 0 && names != nullptr) rc = subkeys(key, names);
    return rc;
}

uint32_t LibraryStore::open(const std::string &name, Key *out)
{
    return open_key(ctx_, name, out);
}

uint32_t LibraryStore::value(const Key &key, Value *out)
{
    return read_value(ctx_, key.get(), out);
}

uint32_t LibraryStore::subkeys(const Key &key, std::vector<std::string> *out)
{
    return list_subkeys(ctx_, meta_, key.get(), out);
}

uint32_t LibraryStore::security(const Key &key, sec_attr *out)
{
    return prop_get_security(ctx_, key.get(), out);
}

uint32_t LibraryStore::apply_one(Change &c)
{
    return propctl::apply_one(ctx_, c);
}

uint32_t LibraryStore::apply_batch(std::vector<Change> &changes, size_t *failed)
{
    return propctl::apply_batch(ctx_, changes, failed);
}

}  // namespace propctl
