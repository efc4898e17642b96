// Record files: what a record holds comes back unchanged, whatever bytes a
// value holds; an export never overwrites a file and never imports in
// part; the import modes; and a file that is not one is refused, never
// trusted.
#include "backup/record.h"
#include "backup_util.h"
#include "support/contexts.h"
#include "support/tmpdir.h"

namespace {

const std::string kSep = "\x07\x20\x5f";

class RecordFiles : public ::testing::Test {
  protected:
    TempDir dir_;
    Contexts c_;
    prop_metactx *meta_ = c_.meta;
    FaultEnv &faults_ = c_.faults;
};

// Records that would trip a reader that looked for the first separator or
// newline, or that trusted a length.
std::vector<Rec> awkward_records()
{
    std::vector<Rec> recs;
    recs.push_back({"SYSTEM.empty", "", PROP_TYPE_NOVALUE, {0, 0, 0}, "", ""});
    recs.push_back({"SYSTEM.sep", "a" + kSep + "b\n" + kSep + "\n" + kSep, PROP_TYPE_BYTES});
    // A value holding the whole end of a record: the record goes on after it.
    const std::string nul(1, '\0');
    recs.push_back({"SYSTEM.tail", "X" + kSep + std::string(12, 'p') + "u" + nul + kSep + "g" + nul + kSep + "\nrest",
                    PROP_TYPE_BYTES});
    std::string big(PROP_RECORD_VALUE_MAX, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7 % 251);
    recs.push_back({"SYSTEM.big", big, PROP_TYPE_BYTES, {63, 63, 63}, std::string(64, 'u'), std::string(64, 'g')});
    std::string long_name = "SYSTEM";
    while (long_name.size() < 1023) long_name += "." + std::string(std::min<size_t>(200, 1023 - long_name.size() - 1), 'n');
    recs.push_back({long_name, std::string("x", 2), PROP_TYPE_TEXT});
    for (int i = 0; i < 40; i++) recs.push_back({"DATABASE.k" + std::to_string(i), std::string(3000, 'v') + "\n", 5});
    return recs;
}

TEST_F(RecordFiles, EveryRecordReadsBackAsItWasWritten)
{
    const std::vector<Rec> recs = awkward_records();
    ASSERT_EQ(export_records(meta_, dir_.file("out"), recs), 0u);
    std::vector<Rec> back;
    EXPECT_EQ(import_records(meta_, dir_.file("out"), &back), uint32_t{PROP_E_NOMORE});
    EXPECT_TRUE(back == recs);

    ASSERT_EQ(export_records(meta_, dir_.file("none"), {}), 0u);
    back.clear();
    EXPECT_EQ(import_records(meta_, dir_.file("none"), &back), uint32_t{PROP_E_NOMORE});
    EXPECT_TRUE(back.empty());
}

TEST_F(RecordFiles, AnExportNeverOverwritesAndNeverImportsInPart)
{
    write_file(dir_.file("taken"), "mine");
    EXPECT_EQ(export_records(meta_, dir_.file("taken"), awkward_records()), uint32_t{PROP_E_EXPORTEXISTS});
    EXPECT_EQ(file_bytes(dir_.file("taken")), "mine");

    // A value too big for a record fails the export, which is left without
    // its header.
    Rec huge{"SYSTEM.huge", std::string(PROP_RECORD_VALUE_MAX + 1, 'h')};
    EXPECT_EQ(export_records(meta_, dir_.file("huge"), {{"SYSTEM.a", "a"}, huge}), uint32_t{PROP_E_STORAGE});
    std::vector<Rec> back;
    EXPECT_EQ(import_records(meta_, dir_.file("huge"), &back), uint32_t{PROP_E_FORMAT});

    // The power goes after any write of an export: the header chunk is
    // written last, so what is left never imports.
    const std::vector<Rec> recs = awkward_records();
    for (uint64_t k = 0;; k++) {
        faults_.reset();
        const std::string cut = k == 0 ? "tear:nth=1,bytes=0" : "drop_after:nth=" + std::to_string(k);
        ASSERT_EQ(faults_.load((cut + ",path=cutexport").c_str()), 0);
        ::unlink(dir_.file("cutexport").c_str());
        ASSERT_EQ(export_records(meta_, dir_.file("cutexport"), recs), 0u);
        back.clear();
        uint32_t rc = import_records(meta_, dir_.file("cutexport"), &back);
        if (faults_.writes("cutexport") <= k) {
            EXPECT_EQ(rc, uint32_t{PROP_E_NOMORE});
            EXPECT_EQ(back.size(), recs.size());
            EXPECT_GE(k, 3u);
            break;
        }
        EXPECT_EQ(rc, uint32_t{PROP_E_FORMAT}) << "cut after write " << k;
        EXPECT_TRUE(back.empty()) << "cut after write " << k;
    }
}

TEST_F(RecordFiles, ImportModes)
{
    const std::vector<Rec> recs = {{"DATABASE", ""},
                                   {"DATABASE.t", std::string("txt", 4), PROP_TYPE_TEXT},
                                   {"SYSTEM.m", std::string("a\0b\0", 5), PROP_TYPE_MULTITEXT},
                                   {"DATABASEX.y", "y", PROP_TYPE_BYTES}};
    ASSERT_EQ(export_records(meta_, dir_.file("f"), recs), 0u);

    std::vector<Rec> back;
    EXPECT_EQ(import_records(meta_, dir_.file("f"), &back, PROP_CBKP_IMPORT_DEFAULTS), uint32_t{PROP_E_NOMORE});
    // Every key gets the importer's defaults; text values their ending.
    std::vector<Rec> want = recs;
    for (Rec &w : want) {
        w.perms = {63, 63, 0};
        w.user = "importer";
    }
    want[1].value = std::string("txt\0\0", 5);
    want[2].value = std::string("a\0b\0\0\0", 7);
    EXPECT_TRUE(back == want);

    back.clear();
    EXPECT_EQ(import_records(meta_, dir_.file("f"), &back, PROP_CBKP_IMPORT_DATABASE), uint32_t{PROP_E_NOMORE});
    std::vector<std::string> names;
    for (const Rec &r : back) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"DATABASE", "DATABASE.t", "", ""}));
}

TEST_F(RecordFiles, AFileThatIsNotARecordFileIsRefused)
{
    ASSERT_EQ(export_records(meta_, dir_.file("good"), awkward_records()), 0u);
    const std::string good = file_bytes(dir_.file("good"));
    std::vector<Rec> back;
    for (const std::string &bad : {std::string(), good.substr(0, 69632 - 1), std::string(69632, '\0'),
                                   good + std::string(100, 'x')}) {
        write_file(dir_.file("bad"), bad);
        EXPECT_EQ(import_records(meta_, dir_.file("bad"), &back), uint32_t{PROP_E_FORMAT}) << bad.size() << " bytes";
    }
    EXPECT_EQ(import_records(meta_, dir_.file("missing"), &back), uint32_t{PROP_E_EXPORTFILE});
}

std::string bytes_of(const Rec &r)
{
    std::string out(propreg::REC_MAX, '\0');
    u32 len = 0;
    EXPECT_EQ(propreg::rec_encode(*to_record(r), reinterpret_cast<u8 *>(out.data()), &len), 0u) << r.name;
    return out.substr(0, len);
}

// A file as an export without a seal wrote it: the header, the records and
// zeros to the end of the chunk.
std::string unsealed(const std::string &records)
{
    std::string file(propreg::REC_HEADER_LEN, '\0');
    propreg::rec_put_header(reinterpret_cast<u8 *>(file.data()));
    file += records;
    return file + std::string((69632 - file.size() % 69632) % 69632, '\0');
}

// A value that disagrees with its type is never written; a record that does
// is refused when read, and so is one whose end is followed by another
// record's start but that does not parse: taking it for the head of a
// longer record would let one damaged byte merge two records.
TEST_F(RecordFiles, ARecordWhosePartsDisagreeIsNeitherWrittenNorRead)
{
    const std::string nul(1, '\0');
    const Rec refused[] = {
        {"SYSTEM.a", "x", PROP_TYPE_NOVALUE}, {"SYSTEM.a", "123", PROP_TYPE_UB4},
        {"SYSTEM.a", "1234", PROP_TYPE_UBIG}, {"SYSTEM.a", "text", PROP_TYPE_TEXT},
        {"SYSTEM.a", "a" + nul + "b", PROP_TYPE_MULTITEXT}, {"SYSTEM.a", "x", 256},
        // Would read as a record that ends after "a".
        {"SYSTEM.a", "a" + kSep + "\nb" + nul, PROP_TYPE_TEXT},
    };
    for (const Rec &r : refused) {
        ::unlink(dir_.file("out").c_str());
        EXPECT_EQ(export_records(meta_, dir_.file("out"), {{"SYSTEM.ok", "v" + nul, PROP_TYPE_TEXT}, r}),
                  uint32_t{PROP_E_STORAGE}) << r.type << " " << r.value.size();
    }

    const std::string one = bytes_of({"SYSTEM.a", "v1"}), two = bytes_of({"SYSTEM.b", "v2"});
    const std::string number = bytes_of({"SYSTEM.i", "1234", PROP_TYPE_UB4});
    std::vector<Rec> back;
    write_file(dir_.file("in"), unsealed(one + number + two));
    ASSERT_EQ(import_records(meta_, dir_.file("in"), &back), uint32_t{PROP_E_NOMORE});
    EXPECT_EQ(back.size(), 3u);
    std::string no_value = number;
    no_value[no_value.find(kSep) + 3] = PROP_TYPE_NOVALUE;
    std::string broken = one;
    broken[broken.rfind(kSep, broken.size() - 5)] = 'x';  // the separator before the group
    for (const std::string &bad : {one + no_value + two, broken + two}) {
        write_file(dir_.file("in"), unsealed(bad));
        back.clear();
        EXPECT_EQ(import_records(meta_, dir_.file("in"), &back), uint32_t{PROP_E_FORMAT});
        EXPECT_LE(back.size(), 1u);
    }
}

// A file written without a seal must end in padding as long as one, else
// it was cut short.
TEST_F(RecordFiles, AFileWithoutASealEndsInPaddingAsLongAsOne)
{
    std::vector<Rec> back;
    // Two records that fill a chunk but for `padding` bytes.
    const std::string first = bytes_of({"SYSTEM.a", std::string(40000, 'a')});
    const size_t base = bytes_of({"SYSTEM.b", ""}).size();
    for (size_t padding : {size_t{34}, size_t{33}, size_t{1}, size_t{0}}) {
        const size_t fill = 69632 - propreg::REC_HEADER_LEN - first.size() - base - padding;
        write_file(dir_.file("in"), unsealed(first + bytes_of({"SYSTEM.b", std::string(fill, 'b')})));
        back.clear();
        EXPECT_EQ(import_records(meta_, dir_.file("in"), &back), padding == 34 ? uint32_t{PROP_E_NOMORE} : uint32_t{PROP_E_FORMAT})
            << padding;
    }
}

}  // namespace
