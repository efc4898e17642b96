// A record (export) file from the input, imported in every mode: each record
// read is put into the small store as an import does (created under its top
// key with its value), and the records read as they stand are written to a
// new export file, which must read back the same.  Every call answers with
// a documented code and the meta contexts are empty at the end.
// The input's form is in harness/records_input.h.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "harness/records_input.h"
#include "harness/stores.h"

namespace {

using namespace fuzz;

constexpr uint32_t kMaxRecords = 48;  // per mode: an input stays fast
const std::string kInput = std::string(kMemRoot) + "/records/in";
const std::string kRoundTrip = std::string(kMemRoot) + "/records/out";

void expect_terminated(const char *field, const char *s, size_t size)
{
    if (strnlen(s, size) == size) fail("prop_cbkp_readrec left the %s without its terminating zero", field);
}

// What an import does with a record: the key made under its top key, its
// value set, with the record's permissions and owner.
void put_into_store(const Session &s, const prop_record &rec)
{
    const std::string name = rec.keyname;
    const size_t dot = name.find('.');
    if (name.empty() || dot == std::string::npos) return;
    propr_keyhandle *top = nullptr, *kh = nullptr;
    if (expect_documented("prop_open", prop_open(s.ctx(), name.substr(0, dot).c_str(), &top, 0)) != 0) return;
    sec_attr sec{};
    sec.userperm = rec.userperm;
    sec.groupperm = rec.groupperm;
    sec.otherperm = rec.otherperm;
    std::memcpy(sec.username, rec.username, sizeof sec.username - 1);
    std::memcpy(sec.groupname, rec.groupname, sizeof sec.groupname - 1);
    uint32_t disposition = 0;
    expect_documented("prop_create_n_set_key",
                      prop_create_n_set_key(s.ctx(), top, name.c_str() + dot + 1, &sec, &kh, &disposition,
                                            rec.value_type, rec.value, rec.value_len, 0));
    if (kh != nullptr) expect_documented("prop_close", prop_close(s.ctx(), kh));
    expect_documented("prop_close", prop_close(s.ctx(), top));
}

bool same(const prop_record &a, const prop_record &b)
{
    return std::strcmp(a.keyname, b.keyname) == 0 && a.value_len == b.value_len &&
           std::memcmp(a.value, b.value, a.value_len) == 0 && a.value_type == b.value_type &&
           a.userperm == b.userperm && a.groupperm == b.groupperm && a.otherperm == b.otherperm &&
           std::strcmp(a.username, b.username) == 0 && std::strcmp(a.groupname, b.groupname) == 0;
}

// Reads up to kMaxRecords records of the file in one mode.
std::vector<std::unique_ptr<prop_record>> import(prop_metactx *meta, const std::string &file, uint32_t mode)
{
    std::vector<std::unique_ptr<prop_record>> out;
    prop_cbkp *cbkp = nullptr;
    if (expect_documented("prop_cbkp_init", prop_cbkp_init(nullptr, meta, &cbkp, file.c_str(), PROP_CBKP_IMPORT, mode,
                                                           kUser, 0)) != 0)
        return out;
    while (out.size() < kMaxRecords) {
        auto rec = std::make_unique<prop_record>();
        if (expect_documented("prop_cbkp_readrec", prop_cbkp_readrec(cbkp, rec.get())) != 0) break;
        expect_terminated("key name", rec->keyname, sizeof rec->keyname);
        expect_terminated("user name", rec->username, sizeof rec->username);
        expect_terminated("group name", rec->groupname, sizeof rec->groupname);
        if (rec->value_len > sizeof rec->value) fail("prop_cbkp_readrec gave a value of %u bytes", rec->value_len);
        out.push_back(std::move(rec));
    }
    expect_documented("prop_cbkp_term", prop_cbkp_term(cbkp));
    return out;
}

// The records the reader took as they stand are written out and read back.
void round_trip(prop_metactx *meta, const std::vector<std::unique_ptr<prop_record>> &records)
{
    prop_cbkp *cbkp = nullptr;
    if (expect_documented("prop_cbkp_init", prop_cbkp_init(nullptr, meta, &cbkp, kRoundTrip.c_str(), PROP_CBKP_EXPORT,
                                                           0, nullptr, 0)) != 0)
        fail("a new export file cannot be made");
    std::vector<const prop_record *> written;
    for (const auto &rec : records)
        if (expect_documented("prop_cbkp_writerec", prop_cbkp_writerec(cbkp, rec.get())) == 0)
            written.push_back(rec.get());
    if (prop_cbkp_term(cbkp) != 0) fail("prop_cbkp_term failed on the export file");
    const auto back = import(meta, kRoundTrip, PROP_CBKP_IMPORT_ASIS);
    if (back.size() != written.size()) fail("%zu records written, %zu read back", written.size(), back.size());
    for (size_t i = 0; i < back.size(); i++)
        if (!same(*written[i], *back[i])) fail("record %zu [%s] reads back otherwise", i, written[i]->keyname);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    use_store(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    env().rollback();
    if (size == 0) return 0;
    std::string file(reinterpret_cast<const char *>(data) + 1, size - 1);
    if ((data[0] & kPadToChunks) != 0) file.resize((file.size() + kRecordChunk - 1) / kRecordChunk * kRecordChunk, '\0');
    env().put_file(kInput, file.data(), file.size());
    Session s;
    if (s.init() != 0) fail("the small store does not open");
    for (uint32_t mode : {PROP_CBKP_IMPORT_ASIS, PROP_CBKP_IMPORT_DEFAULTS, PROP_CBKP_IMPORT_DATABASE}) {
        const auto records = import(s.meta(), kInput, mode);
        for (const auto &rec : records) put_into_store(s, *rec);
        if (mode == PROP_CBKP_IMPORT_ASIS) round_trip(s.meta(), records);
    }
    return 0;
}
