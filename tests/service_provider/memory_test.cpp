// The library's memory account through its C interface: New and Alloc calls hand out zeroed,
// tracked blocks; Free calls release them with everything they own; bad frees are counted and
// leave memory alone; allocation failures can be injected.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sp_fixture.h"

namespace korvo::sp::test {
namespace {

using MemoryTest = ServiceProviderTest;

std::string Report() {
    std::string text(KorvoSpReport(nullptr, 0), '\0');
    KorvoSpReport(text.data(), text.size() + 1);
    return text;
}

bool AllZero(const void* block, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// Each New or Alloc call with what its new record must hold, and the Free call that releases it.
struct NewAndFree {
    const char* call;
    // Makes the record; a call given `status` must set it.
    std::function<void*(DmiMemDsc md, DmiErrorStatus* status)> make;
    bool setsStatus;
    std::function<void(void* record)> check;
    std::function<void(void* record, DmiMemDsc md)> release;
};

const NewAndFree kNewAndFree[] = {
    {"DmiNewAttributeData",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewAttributeData(md, status); }, true,
     [](void* r) { EXPECT_TRUE(AllZero(r, sizeof(DmiAttributeData))); },
     [](void* r, DmiMemDsc md) { DmiFreeAttributeData(static_cast<DmiAttributeData*>(r), md); }},
    {"DmiNewDataUnion",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewDataUnion(md, status); }, true,
     [](void* r) { EXPECT_TRUE(AllZero(r, sizeof(DmiDataUnion))); },
     [](void* r, DmiMemDsc md) { DmiFreeDataUnion(static_cast<DmiDataUnion*>(r), md); }},
    {"DmiNewRowData",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewRowData(md, status); }, true,
     [](void* r) { EXPECT_TRUE(AllZero(r, sizeof(DmiRowData))); },
     [](void* r, DmiMemDsc md) { DmiFreeRowData(static_cast<DmiRowData*>(r), md); }},
    {"DmiAlloc", [](DmiMemDsc md, DmiErrorStatus* status) { return DmiAlloc(36, md, status); },
     true, [](void* r) { EXPECT_TRUE(AllZero(r, 36)); },
     [](void* r, DmiMemDsc md) { DmiFree(r, md); }},
    {"DmiNewAttributeValues",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewAttributeValues(3, md, status); },
     true,
     [](void* r) {
         const auto* values = static_cast<DmiAttributeValues*>(r);
         ASSERT_EQ(values->size, 3u);
         EXPECT_TRUE(AllZero(values->list, 3 * sizeof(DmiAttributeData)));
     },
     [](void* r, DmiMemDsc md) {
         DmiFreeAttributeValues(static_cast<DmiAttributeValues*>(r), md);
     }},
    {"DmiNewMultiRowRequest",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewMultiRowRequest(2, md, status); },
     true, [](void* r) { EXPECT_EQ(static_cast<DmiMultiRowRequest*>(r)->size, 2u); },
     [](void* r, DmiMemDsc md) {
         DmiFreeMultiRowRequest(static_cast<DmiMultiRowRequest*>(r), md);
     }},
    {"DmiNewFileTypeList",
     [](DmiMemDsc md, DmiErrorStatus* status) { return DmiNewFileTypeList(4, md, status); }, true,
     [](void* r) { EXPECT_EQ(static_cast<DmiFileTypeList*>(r)->size, 4u); },
     [](void* r, DmiMemDsc md) { DmiFreeFileTypeList(static_cast<DmiFileTypeList*>(r), md); }},
    // md 0 and no status pointer, as the agent makes its file-data list and strings.
    {"DmiNewFileDataList",
     [](DmiMemDsc, DmiErrorStatus*) { return DmiNewFileDataList(1, nullptr, nullptr); }, false,
     [](void* r) { EXPECT_EQ(static_cast<DmiFileDataList*>(r)->list[0].fileData, nullptr); },
     [](void* r, DmiMemDsc md) { DmiFree(r, md); }},  // there is no Free call of its own
    {"DmiNewOctetString",
     [](DmiMemDsc, DmiErrorStatus*) {
         return DmiNewOctetString(13, "0000C0FFEE00", nullptr, nullptr);
     },
     false,
     [](void* r) {
         const auto* octets = static_cast<DmiOctetString*>(r);
         ASSERT_EQ(octets->size, 13u);
         EXPECT_EQ(std::string(octets->body, 13), std::string("0000C0FFEE00", 13));
     },
     [](void* r, DmiMemDsc md) { DmiFreeOctetString(static_cast<DmiOctetString*>(r), md); }},
    {"DmiNewString",
     [](DmiMemDsc, DmiErrorStatus*) { return DmiNewString("ZUL|CSR|", nullptr, nullptr); }, false,
     [](void* r) {
         const auto* text = static_cast<DmiString*>(r);
         EXPECT_EQ(std::string(text->body, text->size), "ZUL|CSR|");
     },
     [](void* r, DmiMemDsc md) { DmiFreeString(static_cast<DmiString*>(r), md); }},
    {"DmiNewNodeAddress",
     [](DmiMemDsc md, DmiErrorStatus* status) {
         return DmiNewNodeAddress("", "local", "", md, status);
     },
     true,
     [](void* r) {
         const auto* node = static_cast<DmiNodeAddress*>(r);
         EXPECT_EQ(std::string(node->rpc->body, node->rpc->size), "local");
     },
     [](void* r, DmiMemDsc md) { DmiFreeNodeAddress(static_cast<DmiNodeAddress*>(r), md); }},
    {"DmiNewTimestamp",
     [](DmiMemDsc, DmiErrorStatus* status) {
         return DmiNewTimestamp(DmiGetClientMemDsc(0), status);
     },
     true, [](void* r) { EXPECT_TRUE(AllZero(r, sizeof(DmiTimestamp))); },
     [](void* r, DmiMemDsc md) { DmiFreeTimestamp(static_cast<DmiTimestamp*>(r), md); }},
};

TEST_F(MemoryTest, EveryNewRecordIsZeroedAndReleasedByItsFree) {
    const unsigned before = KorvoSpOutstandingBlocks();
    const unsigned badBefore = KorvoSpBadFrees();

    std::vector<void*> made;
    for (const NewAndFree& c : kNewAndFree) {
        SCOPED_TRACE(c.call);
        DmiErrorStatus status = 0xFFFF;
        void* record = c.make(md, &status);
        ASSERT_NE(record, nullptr);
        if (c.setsStatus) {
            EXPECT_EQ(status, DMIERR_NO_ERROR);
        }
        c.check(record);
        made.push_back(record);
    }
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before + std::size(kNewAndFree));

    for (size_t i = 0; i < made.size(); ++i) {
        kNewAndFree[i].release(made[i], md);
    }
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
    EXPECT_EQ(KorvoSpBadFrees(), badBefore);
}

TEST_F(MemoryTest, AnUnknownMemoryDescriptorIsRefused) {
    int foreign = 0;
    DmiErrorStatus status = 0;
    EXPECT_EQ(DmiNewString("x", &foreign, &status), nullptr);
    EXPECT_EQ(status, DMIERR_ILLEGAL_HANDLE);
}

TEST_F(MemoryTest, DeepFreesReleaseWhatTheRecordOwns) {
    const unsigned before = KorvoSpOutstandingBlocks();
    const unsigned badBefore = KorvoSpBadFrees();
    DmiFreeMultiRowData(BuildWidgetEvent(md, 1), md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);

    // A partly built event (the construction stopped at a failure) is released the same way.
    DmiMultiRowData* partial = DmiNewMultiRowData(2, md, nullptr);
    partial->list[0].keyList = DmiNewAttributeValues(1, md, nullptr);
    DmiFreeMultiRowData(partial, md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);

    // Strings go with attribute data of types 7, 8 and 11; a number that happens to hold a
    // string's address is a number.
    for (DmiUnsigned type : {MIF_OCTETSTRING, MIF_DISPLAYSTRING}) {
        DmiAttributeData* data = DmiNewAttributeData(md, nullptr);
        data->data.type = type;
        data->data.value.str = DmiNewString("text", md, nullptr);
        DmiFreeAttributeData(data, md);
    }
    DmiAttributeData* dated = DmiNewAttributeData(md, nullptr);
    dated->data.type = MIF_DATE;
    dated->data.value.date = DmiNewTimestamp(md, nullptr);
    DmiFreeAttributeData(dated, md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);

    DmiString* kept = DmiNewString("kept", md, nullptr);
    DmiAttributeData* number = DmiNewAttributeData(md, nullptr);
    number->data.type = MIF_COUNTER64;
    number->data.value.str = kept;
    DmiFreeAttributeData(number, md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before + 1);
    DmiFreeString(kept, md);

    // A registration record put together from DmiAlloc blocks, freed block by block.
    void* record = DmiAlloc(36, md, nullptr);
    void* access = DmiAlloc(8, md, nullptr);
    void* pairs = DmiAlloc(120, md, nullptr);
    DmiFree(pairs, md);
    DmiFree(access, md);
    DmiFree(record, md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
    EXPECT_EQ(KorvoSpBadFrees(), badBefore);
}

TEST_F(MemoryTest, BadFreesAreCountedReportedAndLeaveMemoryAlone) {
    const unsigned badBefore = KorvoSpBadFrees();
    DmiString* twice = DmiNewString("twice", md, nullptr);
    DmiFreeString(twice, md);
    DmiFreeString(twice, md);  // a second free

    DmiString onTheStack{0, nullptr};
    DmiFreeString(&onTheStack, md);  // never handed out

    DmiAttributeValues* values = DmiNewAttributeValues(2, md, nullptr);
    DmiFree(values->list, md);  // inside a block, not its start
    const unsigned before = KorvoSpOutstandingBlocks();
    DmiFreeString(reinterpret_cast<DmiString*>(values), md);  // the wrong Free call
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before) << "a mismatched free must not release";

    // A row whose class string was already freed: the row goes, the string is reported.
    DmiRowData* row = DmiNewRowData(md, nullptr);
    row->className = DmiNewString("gone", md, nullptr);
    DmiFreeString(row->className, md);
    DmiFreeRowData(row, md);
    DmiFreeAttributeValues(values, md);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before - 1);

    EXPECT_EQ(KorvoSpBadFrees(), badBefore + 5);
    const std::string report = Report();
    EXPECT_NE(report.find("DmiFreeString: block"), std::string::npos) << report;
    EXPECT_NE(report.find("was freed twice"), std::string::npos) << report;
    EXPECT_NE(report.find("was never handed out"), std::string::npos) << report;
    EXPECT_NE(report.find("points into a block"), std::string::npos) << report;
    EXPECT_NE(report.find("was made by DmiNewAttributeValues"), std::string::npos) << report;
    // Bad frees are logged as they happen.
    EXPECT_NE(ReadFile(dmiFile(management::kLogFileName)).find("bad free"), std::string::npos);
}

TEST_F(MemoryTest, OutstandingBlocksAreListedWithTheCallThatMadeThem) {
    DmiString* leaked = DmiNewString("leak", md, nullptr);
    const std::string report = Report();
    EXPECT_NE(report.find("bytes from DmiNewString"), std::string::npos) << report;
    char tiny[8];
    EXPECT_EQ(KorvoSpReport(tiny, sizeof tiny), report.size());
    EXPECT_EQ(std::string(tiny), report.substr(0, 7));
    DmiFreeString(leaked, md);
}

TEST_F(MemoryTest, TheNthAllocatingCallFailsWhenAsked) {
    KorvoSpFailAllocation(3);
    DmiErrorStatus status = 0;
    DmiString* first = DmiNewString("1", md, &status);
    EXPECT_EQ(status, DMIERR_NO_ERROR);
    // A New call that makes a list and its entries is one allocation.
    DmiMultiRowData* second = DmiNewMultiRowData(2, md, &status);
    EXPECT_EQ(status, DMIERR_NO_ERROR);
    EXPECT_EQ(DmiNewAttributeData(nullptr, &status), nullptr);
    EXPECT_EQ(status, DMIERR_OUT_OF_MEMORY);
    status = 0xFFFF;
    void* fourth = DmiAlloc(8, md, &status);  // the injection fired once and is off again
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(status, DMIERR_NO_ERROR);
    DmiFreeString(first, md);
    DmiFreeMultiRowData(second, md);
    DmiFree(fourth, md);
    KorvoSpFailAllocation(0);
}

TEST_F(MemoryTest, ImpossibleSizesAreOutOfMemory) {
    DmiErrorStatus status = 0;
    EXPECT_EQ(DmiNewAttributeValues(0xFFFFFFFFu, md, &status), nullptr);
    EXPECT_EQ(status, DMIERR_OUT_OF_MEMORY);
    EXPECT_EQ(DmiNewOctetString(0xFFFFFFFFu, nullptr, md, &status), nullptr);
    EXPECT_EQ(status, DMIERR_OUT_OF_MEMORY);
}

// KORVO_SP_FAIL_ALLOCATION is read when the library is loaded: a second copy of the file loads
// as a library of its own, with the variable set.
TEST_F(MemoryTest, FailureInjectionFromTheEnvironmentAtLoad) {
    const std::string copy = dmiPath() + "-copy.dll";
    std::filesystem::copy_file(KORVO_SP_LIBRARY, copy);
    void* library = nullptr;
    {
        korvo::test::ScopedEnv fail("KORVO_SP_FAIL_ALLOCATION", "2");
        library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    ASSERT_NE(library, nullptr) << dlerror();
    auto newString = reinterpret_cast<DmiNewStringFn>(dlsym(library, "DmiNewString"));
    auto freeString = reinterpret_cast<DmiFreeStringFn>(dlsym(library, "DmiFreeString"));
    ASSERT_NE(newString, reinterpret_cast<DmiNewStringFn>(DmiNewString)) << "not a second copy";
    DmiErrorStatus status = 0;
    DmiString* first = newString("a", nullptr, &status);
    EXPECT_EQ(status, DMIERR_NO_ERROR);
    EXPECT_EQ(newString("b", nullptr, &status), nullptr);
    EXPECT_EQ(status, DMIERR_OUT_OF_MEMORY);
    freeString(first, nullptr);
    // A loaded module stays loaded, as on the target.
}

TEST_F(MemoryTest, ThreadsAllocateAndFreeAtTheSameTime) {
    const unsigned before = KorvoSpOutstandingBlocks();
    const unsigned badBefore = KorvoSpBadFrees();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 2000; ++i) {
                DmiMultiRowData* event = BuildWidgetEvent(md, 1);
                DmiFreeMultiRowData(event, md);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
    EXPECT_EQ(KorvoSpBadFrees(), badBefore);
}

}  // namespace
}  // namespace korvo::sp::test
