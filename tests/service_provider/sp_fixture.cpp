// The service provider tests' fixture, test instrumentation and socket client.
#include "sp_fixture.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "korvo/management_protocol.h"

namespace korvo::sp::test {

const char* const kTestMif = R"MIF(// A small component for the service provider's tests.
Start Component
    Name = "Test Widget"
    description = "A widget that exists only in tests"

    start enum
        name = "Widget State"  type = integer
        0x01 = "Idle"
        0x02 = "Busy"
    end enum

    start group
        name = "ComponentID"  class = "DMTF|ComponentID|001"  id = 1
        start attribute
            name = "Manufacturer"  id = 1  type = string(64)  value = "Acme"
        end attribute
        start attribute
            name = "Verify"  id = 6  access = read-only
            type = start enum
                0x000 = "An error occurred"
                0x007 = "Functioning correctly"
            end enum
        end attribute
    end group

    start group
        name = "Widget Table"
        class = "TEST|Widget Table|001"
        id = 2
        key = 1
        start attribute  name = "Index"  id = 1  type = int  end attribute
        start attribute
            name = "Label"  id = 2  type = displaystring(16)  access = read-write
            storage = specific
        end attribute
        start attribute  name = "Octets"  id = 3  type = counter64  end attribute
        start attribute  name = "Broken"  id = 4  type = integer  end attribute
        start attribute
            name = "State"  id = 5  type = "Widget State"  value = "busy"
        end attribute
        start attribute  name = "Unserved"  id = 6  type = gauge  end attribute
    end group

    start group
        name = "Widget Event"  class = "TEST|Widget Event|001"  id = 3  key = 5
        start attribute  name = "Event Type"  id = 1  type = integer  end attribute
        start attribute  name = "Associated Group"  id = 5  type = string(64)  end attribute
    end group
End Component
)MIF";

void ServiceProviderTest::SetUp() {
    KorvoSpShutdown();
    root_ = std::make_unique<korvo::test::PrivateRoot>();
    dmiPath_ = root_->path() + "/dmi";
    dmiEnv_ = std::make_unique<korvo::test::ScopedEnv>("WIN32DMIPATH", dmiPath_.c_str());
    md = DmiGetSysMemDsc(0);
    TestInstrumentation::Reset();
}

void ServiceProviderTest::TearDown() {
    KorvoSpShutdown();
    dmiEnv_.reset();
    root_.reset();
}

std::string ServiceProviderTest::WriteFile(const std::string& name, const std::string& text) {
    const std::string path = root_->path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string ServiceProviderTest::ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

DmiHandle ServiceProviderTest::RegisterManagement() {
    DmiHandle handle = 0;
    EXPECT_EQ(DmiRegister(&handle), DMIERR_NO_ERROR);
    return handle;
}

DmiErrorStatus ServiceProviderTest::Install(DmiHandle handle, const std::string& path, DmiId* id) {
    DmiFileDataList* files = DmiNewFileDataList(1, nullptr, nullptr);
    files->list[0].fileType = DMI_MIF_FILE_NAME;
    files->list[0].fileData =
        DmiNewOctetString(static_cast<DmiUnsigned>(path.size()), path.data(), nullptr, nullptr);
    DmiStringList* errors = reinterpret_cast<DmiStringList*>(0x1);  // must come back null
    const DmiErrorStatus status = DmiAddComponent(handle, files, id, &errors);
    EXPECT_EQ(errors, nullptr);
    DmiFreeOctetString(files->list[0].fileData, md);
    DmiFree(files, md);
    return status;
}

DmiId ServiceProviderTest::InstallTestMif() {
    const DmiHandle handle = RegisterManagement();
    DmiId id = 0;
    EXPECT_EQ(Install(handle, WriteFile("widget.mif", kTestMif), &id), DMIERR_NO_ERROR);
    EXPECT_EQ(DmiUnregister(handle), DMIERR_NO_ERROR);
    return id;
}

// ---- The test instrumentation ---------------------------------------------------------------

std::mutex TestInstrumentation::mutex;
std::vector<TestInstrumentation::Write> TestInstrumentation::writes;
std::vector<uint32_t> TestInstrumentation::lastKeyTypes;

namespace {

DmiAttributeData foreignRecord{};  // never handed out by the library

uint32_t RowOf(const DmiAttributeValues* keys) {
    if (keys == nullptr || keys->size == 0) {
        return 1;
    }
    return keys->list[0].data.value.counter;
}

DmiErrorStatus Read(DmiId groupId, DmiId attributeId, DmiAttributeValues* keys,
                    DmiAttributeData** value, uint32_t step) {
    {
        std::lock_guard lock(TestInstrumentation::mutex);
        TestInstrumentation::lastKeyTypes.clear();
        for (DmiUnsigned i = 0; keys != nullptr && i < keys->size; ++i) {
            TestInstrumentation::lastKeyTypes.push_back(keys->list[i].data.type);
        }
    }
    if (groupId == 2 && attributeId == 4) {
        *value = &foreignRecord;
        return DMIERR_NO_ERROR;
    }
    if (groupId == 2 && RowOf(keys) == TestInstrumentation::kUnknownRow) {
        return DMIERR_VALUE_UNKNOWN;
    }
    const DmiMemDsc md = DmiGetSysMemDsc(0);
    DmiErrorStatus status = DMIERR_NO_ERROR;
    DmiAttributeData* record = DmiNewAttributeData(md, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    *value = record;  // ours no more, whatever follows
    record->id = attributeId;
    if (groupId == 1 && attributeId == 6) {
        record->data.type = MIF_INTEGER;
        record->data.value.integer = 7;
        return DMIERR_NO_ERROR;
    }
    const uint32_t row = RowOf(keys) + step;
    if (groupId != 2 || row < 1 || row > 3) {
        return DMIERR_ROW_NOT_FOUND;
    }
    switch (attributeId) {
        case 1:
            record->data.type = MIF_INTEGER;
            record->data.value.integer = static_cast<int32_t>(row);
            break;
        case 2: {
            const std::string text = "row " + std::to_string(row);
            record->data.value.str = DmiNewOctetString(static_cast<DmiUnsigned>(text.size() + 1),
                                                       text.c_str(), md, &status);
            record->data.type = MIF_DISPLAYSTRING;
            break;
        }
        case 3:
            record->data.type = MIF_COUNTER64;
            record->data.value.counter64 = (uint64_t{1} << 40) + row;
            break;
        default:
            break;
    }
    return status;
}

DmiErrorStatus OnGet(DmiId, DmiId groupId, DmiId attributeId, DmiString*, DmiAttributeValues* keys,
                     DmiAttributeData** value) {
    return Read(groupId, attributeId, keys, value, 0);
}

DmiErrorStatus OnGetNext(DmiId, DmiId groupId, DmiId attributeId, DmiString*,
                         DmiAttributeValues* keys, DmiAttributeData** value) {
    return Read(groupId, attributeId, keys, value, 1);
}

DmiErrorStatus OnSet(DmiId, DmiId groupId, DmiId attributeId, DmiString*, DmiAttributeValues* keys,
                     DmiAttributeData* value) {
    TestInstrumentation::Write write{groupId, attributeId, {}, value->data.type, "", 0};
    for (DmiUnsigned i = 0; keys != nullptr && i < keys->size; ++i) {
        write.keys.push_back(keys->list[i].data.value.counter);
    }
    if (value->data.type == MIF_DISPLAYSTRING || value->data.type == MIF_OCTETSTRING) {
        write.text.assign(value->data.value.str->body, value->data.value.str->size);
    } else {
        write.integer = value->data.value.counter;
    }
    std::lock_guard lock(TestInstrumentation::mutex);
    TestInstrumentation::writes.push_back(write);
    return DMIERR_NO_ERROR;
}

DmiErrorStatus OnReserve(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned) {
    return DMIERR_NO_ERROR;
}

DmiErrorStatus OnRow(DmiUnsigned) {
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus TestInstrumentation::Register(DmiId componentId, DmiHandle* handle) {
    static constexpr DmiAccessData kPairs[] = {{1, 6}, {2, 1}, {2, 2}, {2, 3}, {2, 4}};
    const DmiMemDsc md = DmiGetSysMemDsc(0);
    DmiErrorStatus status = DMIERR_NO_ERROR;
    auto* record = static_cast<DmiRegisterInfo*>(DmiAlloc(sizeof(DmiRegisterInfo), md, &status));
    auto* access =
        static_cast<DmiAccessDataList*>(DmiAlloc(sizeof(DmiAccessDataList), md, &status));
    auto* pairs = static_cast<DmiAccessData*>(DmiAlloc(sizeof kPairs, md, &status));
    std::memcpy(pairs, kPairs, sizeof kPairs);
    *access = {static_cast<DmiUnsigned>(std::size(kPairs)), pairs};
    *record = {componentId, OnGet, OnGetNext, OnReserve, OnReserve, OnSet, OnRow, OnRow, access};
    DmiString* dmiLevel = nullptr;
    status = DmiRegisterCi(record, handle, &dmiLevel);
    if (status == DMIERR_NO_ERROR) {
        DmiFreeString(dmiLevel, md);
    }
    DmiFree(pairs, md);
    DmiFree(access, md);
    DmiFree(record, md);
    return status;
}

void TestInstrumentation::Reset() {
    std::lock_guard lock(mutex);
    writes.clear();
    lastKeyTypes.clear();
}

DmiMultiRowData* BuildWidgetEvent(DmiMemDsc md, DmiId componentId) {
    DmiMultiRowData* event = DmiNewMultiRowData(2, md, nullptr);
    for (DmiUnsigned r = 0; r < 2; ++r) {
        DmiRowData& row = event->list[r];
        row.compId = componentId;
        row.groupId = r == 0 ? 3 : 2;
        row.className = DmiNewString(r == 0 ? kWidgetEventClass : kWidgetTableClass, md, nullptr);
        row.keyList = DmiNewAttributeValues(1, md, nullptr);
        row.values = DmiNewAttributeValues(2, md, nullptr);
    }
    DmiAttributeData* key = &event->list[0].keyList->list[0];
    key->id = 5;
    key->data.type = MIF_DISPLAYSTRING;
    key->data.value.str = DmiNewString(kWidgetTableClass, md, nullptr);
    DmiAttributeData* values = event->list[0].values->list;
    values[0].id = 1;
    values[0].data.type = MIF_INTEGER;
    values[0].data.value.integer = 4;
    values[1].id = 5;
    values[1].data.type = MIF_DISPLAYSTRING;
    values[1].data.value.str = DmiNewString(kWidgetTableClass, md, nullptr);
    DmiAttributeData* rowKey = &event->list[1].keyList->list[0];
    rowKey->id = 1;
    rowKey->data.type = MIF_INTEGER;
    rowKey->data.value.integer = 2;
    DmiAttributeData* rowValues = event->list[1].values->list;
    rowValues[0].id = 1;
    rowValues[0].data.type = MIF_INTEGER;
    rowValues[0].data.value.integer = 2;
    rowValues[1].id = 2;
    rowValues[1].data.type = MIF_OCTETSTRING;
    rowValues[1].data.value.octetstring = DmiNewOctetString(3, "\x01\x02\xFF", md, nullptr);
    return event;
}

}  // namespace korvo::sp::test
