// The library through the calls the agent makes: its start-up sequence, the component database
// (install, find by class, list, survive a restart), the checks of DmiRegisterCi, and the
// events it keeps or refuses.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>

#include "sp_fixture.h"

namespace korvo::sp::test {
namespace {

using LibraryTest = ServiceProviderTest;

std::vector<nlohmann::json> EventLines(const std::string& path) {
    std::vector<nlohmann::json> events;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        events.push_back(nlohmann::json::parse(line));
    }
    return events;
}

DmiComponentList* FindByClass(DmiHandle handle, const char* className, DmiErrorStatus* status) {
    DmiString* text = DmiNewString(className, nullptr, nullptr);
    DmiComponentList* reply = nullptr;
    *status = DmiListComponentsByClass(handle, 1, 0, 0, 0, 0, text, nullptr, &reply);
    DmiFreeString(text, nullptr);
    return reply;
}

// The agent's start-up, call by call: connect, find or install the component from a path
// written the Windows way, end the management connection, register its callbacks.
TEST_F(LibraryTest, TheAgentsStartUpSequence) {
    std::filesystem::create_directories(rootPath() + "/Windows/System");
    WriteFile("Windows/System/KORVO.MIF", kTestMif);
    const std::string windir = rootPath() + "\\windows";
    const unsigned before = KorvoSpOutstandingBlocks();

    const DmiMemDsc sysMd = DmiGetSysMemDsc(0);
    DmiErrorStatus status = 0;
    DmiNodeAddress* node = DmiNewNodeAddress("", "local", "", sysMd, &status);
    ASSERT_EQ(status, DMIERR_NO_ERROR);
    DmiUnsigned reserved = 0;
    EXPECT_EQ(DmiSetDefaultNode(node, &reserved), DMIERR_NO_ERROR);
    DmiHandle handle = 0;
    ASSERT_EQ(DmiRegister(&handle), DMIERR_NO_ERROR);
    DmiString* level = nullptr;
    DmiString* description = nullptr;
    DmiFileTypeList* types = nullptr;
    ASSERT_EQ(DmiGetVersion(handle, &level, &description, &types), DMIERR_NO_ERROR);
    EXPECT_EQ(std::string(level->body, level->size), "DMI 2.0");
    EXPECT_EQ(types->list[0], DMI_MIF_FILE_NAME);
    DmiFreeString(level, sysMd);
    DmiFreeString(description, sysMd);
    DmiFreeFileTypeList(types, sysMd);

    DmiString* className = DmiNewString("TEST|", nullptr, nullptr);
    DmiComponentList* found = nullptr;
    DmiListComponentsByClass(handle, 1, 0, 0, 0, 0, className, nullptr, &found);
    ASSERT_EQ(found, nullptr) << "nothing is installed yet";
    DmiFileDataList* files = DmiNewFileDataList(1, nullptr, nullptr);
    const std::string mifPath = windir + "\\system\\korvo.mif";
    files->list[0].fileType = DMI_MIF_FILE_NAME;
    files->list[0].fileData = DmiNewOctetString(static_cast<DmiUnsigned>(mifPath.size()),
                                                mifPath.data(), nullptr, nullptr);
    DmiId componentId = 0;
    DmiStringList* ignored = nullptr;
    ASSERT_EQ(DmiAddComponent(handle, files, &componentId, &ignored), DMIERR_NO_ERROR);
    EXPECT_NE(componentId, 0u);
    EXPECT_EQ(DmiUnregister(handle), DMIERR_NO_ERROR);

    DmiHandle ciHandle = 0;
    ASSERT_EQ(TestInstrumentation::Register(componentId, &ciHandle), DMIERR_NO_ERROR);
    struct stat socketInfo {};
    ASSERT_EQ(stat(dmiFile(management::kSocketFileName).c_str(), &socketInfo), 0)
        << "no management socket";
    EXPECT_EQ(socketInfo.st_mode & 0777, 0600u);
    struct stat directoryInfo {};
    ASSERT_EQ(stat(dmiPath().c_str(), &directoryInfo), 0);
    EXPECT_EQ(directoryInfo.st_mode & 0777, 0700u);

    // What the agent never frees is all that is left: the node address, the file-data list,
    // its path string, and the class string it keeps when it installs.
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before + 4);
    EXPECT_EQ(DmiUnregisterCi(ciHandle), DMIERR_NO_ERROR);
    EXPECT_EQ(DmiUnregisterCi(ciHandle), DMIERR_ILLEGAL_HANDLE);
    DmiFreeNodeAddress(node, sysMd);
    DmiFreeOctetString(files->list[0].fileData, sysMd);
    DmiFree(files, sysMd);
    DmiFreeString(className, sysMd);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
}

TEST_F(LibraryTest, FindsComponentsByTheBeginningOfAGroupClass) {
    const DmiId id = InstallTestMif();
    const DmiHandle handle = RegisterManagement();
    const unsigned before = KorvoSpOutstandingBlocks();
    for (const char* prefix : {"TEST|", "DMTF|ComponentID|001", ""}) {
        SCOPED_TRACE(prefix);
        DmiErrorStatus status = 0xFFFF;
        DmiComponentList* list = FindByClass(handle, prefix, &status);
        EXPECT_EQ(status, DMIERR_NO_ERROR);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->size, 1u);
        EXPECT_EQ(list->list[0].id, id);
        EXPECT_EQ(std::string(list->list[0].name->body, list->list[0].name->size), "Test Widget");
        DmiFreeComponentList(list, md);
    }
    for (const char* prefix : {"TEST|Nothing", "test|", "ZUL|CSR|"}) {
        SCOPED_TRACE(prefix);
        DmiErrorStatus status = 0;
        EXPECT_EQ(FindByClass(handle, prefix, &status), nullptr);
        EXPECT_EQ(status, DMIERR_COMPONENT_NOT_FOUND);
    }
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
}

TEST_F(LibraryTest, ListsGroupsAttributesAndClassesFromTheMif) {
    const DmiId id = InstallTestMif();
    const DmiHandle handle = RegisterManagement();
    const unsigned before = KorvoSpOutstandingBlocks();

    DmiGroupList* groups = nullptr;
    ASSERT_EQ(DmiListGroups(handle, 3 /* next */, 0, 0, 1, id, 1, &groups), DMIERR_NO_ERROR);
    ASSERT_EQ(groups->size, 2u);
    EXPECT_EQ(groups->list[0].id, 2u);
    EXPECT_EQ(std::string(groups->list[0].className->body, groups->list[0].className->size),
              kWidgetTableClass);
    ASSERT_NE(groups->list[0].keyList, nullptr);
    EXPECT_EQ(groups->list[0].keyList->list[0].id, 1u);
    EXPECT_EQ(groups->list[1].id, 3u);
    DmiFreeGroupList(groups, md);
    EXPECT_EQ(DmiListGroups(handle, 1, 0, 0, 0, id, 9, &groups), DMIERR_GROUP_NOT_FOUND);
    EXPECT_EQ(groups, nullptr);

    DmiAttributeList* attributes = nullptr;
    ASSERT_EQ(DmiListAttributes(handle, 2 /* first */, 2, 0, 1, id, 2, 0, &attributes),
              DMIERR_NO_ERROR);
    ASSERT_EQ(attributes->size, 2u);  // at most maxCount
    const DmiAttributeInfo& label = attributes->list[1];
    EXPECT_EQ(std::string(label.name->body, label.name->size), "Label");
    EXPECT_EQ(label.type, MIF_DISPLAYSTRING);
    EXPECT_EQ(label.maxSize, 16u);
    EXPECT_EQ(label.access, 2u);   // read-write
    EXPECT_EQ(label.storage, 1u);  // specific
    DmiFreeAttributeList(attributes, md);

    DmiClassNameList* classes = nullptr;
    ASSERT_EQ(DmiListClassNames(handle, 1, 0, id, &classes), DMIERR_NO_ERROR);
    EXPECT_EQ(classes->size, 3u);
    DmiFreeClassNameList(classes, md);
    EXPECT_EQ(DmiListClassNames(handle, 1, 0, id + 1, &classes), DMIERR_COMPONENT_NOT_FOUND);
    EXPECT_EQ(DmiListClassNames(handle + 100, 1, 0, id, &classes), DMIERR_ILLEGAL_HANDLE);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
}

// Each refusal of a group or attribute list: the status that names the cause, no reply and
// nothing left allocated.
TEST_F(LibraryTest, GroupAndAttributeListsRefuseWhatTheyCannotAnswer) {
    const DmiId id = InstallTestMif();
    const DmiHandle handle = RegisterManagement();
    const unsigned before = KorvoSpOutstandingBlocks();
    struct Case {
        const char* what;
        DmiHandle handle;
        DmiUnsigned mode;
        DmiId compId;
        DmiId groupId;
        DmiId attribId;  // for the attribute list
        unsigned failAllocation;
        DmiErrorStatus groups;
        DmiErrorStatus attributes;
    };
    const Case cases[] = {
        {"an unknown handle", handle + 100, 2, id, 2, 0, 0, DMIERR_ILLEGAL_HANDLE,
         DMIERR_ILLEGAL_HANDLE},
        {"an unknown component", handle, 2, id + 1, 2, 0, 0, DMIERR_COMPONENT_NOT_FOUND,
         DMIERR_COMPONENT_NOT_FOUND},
        {"an unknown request mode", handle, 4, id, 2, 0, 0, DMIERR_ILL_FORMED_COMMAND,
         DMIERR_ILL_FORMED_COMMAND},
        {"nothing after the last", handle, 3, id, 3, 99, 0, DMIERR_GROUP_NOT_FOUND,
         DMIERR_ATTRIBUTE_NOT_FOUND},
        {"no memory for the reply", handle, 2, id, 2, 0, 1, DMIERR_OUT_OF_MEMORY,
         DMIERR_OUT_OF_MEMORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* groups = reinterpret_cast<DmiGroupList*>(0x1);  // a caller's stale pointer
        KorvoSpFailAllocation(c.failAllocation);
        EXPECT_EQ(DmiListGroups(c.handle, c.mode, 0, 0, 1, c.compId, c.groupId, &groups), c.groups);
        EXPECT_EQ(groups, nullptr);
        auto* attributes = reinterpret_cast<DmiAttributeList*>(0x1);
        KorvoSpFailAllocation(c.failAllocation);
        EXPECT_EQ(DmiListAttributes(c.handle, c.mode, 0, 0, 1, c.compId, c.groupId, c.attribId,
                                    &attributes),
                  c.attributes);
        EXPECT_EQ(attributes, nullptr);
        KorvoSpFailAllocation(0);
    }
    DmiAttributeList* attributes = nullptr;
    EXPECT_EQ(DmiListAttributes(handle, 2, 0, 0, 0, id, 9, 0, &attributes), DMIERR_GROUP_NOT_FOUND);
    EXPECT_EQ(DmiListGroups(handle, 2, 0, 0, 0, id, 0, nullptr), DMIERR_ILL_FORMED_COMMAND);
    EXPECT_EQ(DmiListAttributes(handle, 2, 0, 0, 0, id, 2, 0, nullptr), DMIERR_ILL_FORMED_COMMAND);
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
}

TEST_F(LibraryTest, RefusesAFileItCannotReadOrParse) {
    const DmiHandle handle = RegisterManagement();
    const std::string bad = WriteFile("bad.mif", "start component\nname = \"X\"\nstart grup\n");
    struct Case {
        std::string path;
        DmiErrorStatus status;
        std::string logged;
    };
    const Case cases[] = {
        {rootPath() + "/missing.mif", DMIERR_DATABASE_CORRUPT, "missing.mif: cannot read"},
        {bad, DMIERR_DATABASE_CORRUPT, "bad.mif:3: a component holds groups"},
        {"", DMIERR_ILL_FORMED_COMMAND, "empty"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.path);
        DmiId id = 0;
        EXPECT_EQ(Install(handle, item.path, &id), item.status);
        EXPECT_NE(ReadFile(dmiFile(management::kLogFileName)).find(item.logged), std::string::npos)
            << ReadFile(dmiFile(management::kLogFileName));
    }
    // A list without a MIF file name, and a handle that is not a management registration.
    DmiFileDataList* files = DmiNewFileDataList(1, md, nullptr);
    DmiId id = 0;
    EXPECT_EQ(DmiAddComponent(handle, files, &id, nullptr), DMIERR_ILL_FORMED_COMMAND);
    EXPECT_EQ(DmiAddComponent(handle + 100, files, &id, nullptr), DMIERR_ILLEGAL_HANDLE);
    DmiFree(files, md);
    DmiErrorStatus status = 0;
    EXPECT_EQ(FindByClass(handle, "", &status), nullptr) << "nothing was installed";
}

TEST_F(LibraryTest, TheDatabaseSurvivesARestart) {
    const DmiId first = InstallTestMif();
    KorvoSpShutdown();  // as a restarted agent finds it

    const DmiHandle handle = RegisterManagement();
    DmiErrorStatus status = 0;
    DmiComponentList* list = FindByClass(handle, "TEST|Widget", &status);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->list[0].id, first);
    DmiFreeComponentList(list, md);
    DmiId second = 0;
    ASSERT_EQ(Install(handle, WriteFile("again.mif", kTestMif), &second), DMIERR_NO_ERROR);
    EXPECT_EQ(second, first + 1);

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dmiPath() + "/components")) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    // The copies and the index, and nothing half written beside them.
    EXPECT_EQ(names, (std::vector<std::string>{std::to_string(first) + ".mif",
                                               std::to_string(second) + ".mif", "index.json",
                                               "index.lock"}));
}

// A second copy of the library file loads as a library of its own: another service provider
// on the same directory, as a second process would be.
TEST_F(LibraryTest, ProvidersSharingADirectoryShareOneDatabase) {
    const std::string copy = rootPath() + "/other.dll";
    std::filesystem::copy_file(KORVO_SP_LIBRARY, copy);
    void* other = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(other, nullptr) << dlerror();
    const auto resolve = [other](const char* name) { return dlsym(other, name); };
    auto otherRegister = reinterpret_cast<DmiRegisterFn>(resolve("DmiRegister"));
    auto otherAdd = reinterpret_cast<DmiAddComponentFn>(resolve("DmiAddComponent"));
    auto otherNewList = reinterpret_cast<DmiNewFileDataListFn>(resolve("DmiNewFileDataList"));
    auto otherNewOctets = reinterpret_cast<DmiNewOctetStringFn>(resolve("DmiNewOctetString"));
    auto otherShutdown = reinterpret_cast<void (*)()>(resolve("KorvoSpShutdown"));

    const DmiId first = InstallTestMif();  // through this library
    DmiHandle handle = 0;
    ASSERT_EQ(otherRegister(&handle), DMIERR_NO_ERROR);
    const std::string path = WriteFile("second.mif", kTestMif);
    DmiFileDataList* files = otherNewList(1, nullptr, nullptr);
    files->list[0].fileType = DMI_MIF_FILE_NAME;
    files->list[0].fileData =
        otherNewOctets(static_cast<DmiUnsigned>(path.size()), path.data(), nullptr, nullptr);
    DmiId second = 0;
    ASSERT_EQ(otherAdd(handle, files, &second, nullptr), DMIERR_NO_ERROR);
    EXPECT_EQ(second, first + 1) << "the other provider must not reuse an id";
    otherShutdown();

    // This library sees the other's component without a restart.
    const DmiHandle mine = RegisterManagement();
    DmiComponentList* list = nullptr;
    ASSERT_EQ(DmiListComponents(mine, 2, 0, 0, 0, 0, &list), DMIERR_NO_ERROR);
    ASSERT_EQ(list->size, 2u);
    EXPECT_EQ(list->list[1].id, second);
    DmiFreeComponentList(list, md);
}

TEST_F(LibraryTest, ADamagedDatabaseIsReportedAndLeftAlone) {
    InstallTestMif();
    KorvoSpShutdown();
    const std::string index = dmiPath() + "/components/index.json";
    std::ofstream(index) << "{\"nextId\": 2, \"comp";
    const DmiHandle handle = RegisterManagement();
    DmiErrorStatus status = 0;
    EXPECT_EQ(FindByClass(handle, "TEST|", &status), nullptr);
    EXPECT_EQ(status, DMIERR_DATABASE_CORRUPT);
    DmiId id = 0;
    EXPECT_EQ(Install(handle, WriteFile("w.mif", kTestMif), &id), DMIERR_DATABASE_CORRUPT);
    EXPECT_EQ(ReadFile(index), "{\"nextId\": 2, \"comp");
    EXPECT_NE(
        ReadFile(dmiFile(management::kLogFileName)).find("remove " + dmiPath() + "/components"),
        std::string::npos);
}

TEST_F(LibraryTest, RegisterCiChecksTheRecord) {
    const DmiId id = InstallTestMif();
    DmiHandle good = 0;
    ASSERT_EQ(TestInstrumentation::Register(id, &good), DMIERR_NO_ERROR);

    const auto get = [](DmiId, DmiId, DmiId, DmiString*, DmiAttributeValues*,
                        DmiAttributeData**) -> DmiErrorStatus { return DMIERR_NO_ERROR; };
    struct Case {
        const char* what;
        DmiId component;
        std::vector<DmiAccessData> pairs;
        bool withGet;
        DmiErrorStatus status;
    };
    const Case cases[] = {
        {"unknown component", id + 1, {{3, 0}}, true, DMIERR_COMPONENT_NOT_FOUND},
        {"group not in the MIF", id, {{3, 0}, {9, 0}}, true, DMIERR_GROUP_NOT_FOUND},
        {"attribute not in the group", id, {{3, 9}}, true, DMIERR_ATTRIBUTE_NOT_FOUND},
        {"empty access list", id, {}, true, DMIERR_ILL_FORMED_COMMAND},
        {"no get callback", id, {{3, 0}}, false, DMIERR_ILL_FORMED_COMMAND},
        {"a pair another instrumentation serves", id, {{2, 0}}, true, DMIERR_ILL_FORMED_COMMAND},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        DmiAccessDataList access{static_cast<DmiUnsigned>(item.pairs.size()),
                                 const_cast<DmiAccessData*>(item.pairs.data())};
        DmiRegisterInfo record{};
        record.compId = item.component;
        record.ciGetAttribute = item.withGet ? +get : nullptr;
        record.accessData = &access;
        DmiHandle handle = 0;
        DmiString* level = nullptr;
        EXPECT_EQ(DmiRegisterCi(&record, &handle, &level), item.status);
        EXPECT_EQ(level, nullptr);
    }
    DmiRegisterInfo noList{};
    noList.compId = id;
    noList.ciGetAttribute = get;
    DmiHandle handle = 0;
    EXPECT_EQ(DmiRegisterCi(&noList, &handle, nullptr), DMIERR_ILL_FORMED_COMMAND);
    EXPECT_EQ(DmiUnregisterCi(good), DMIERR_NO_ERROR);
}

TEST_F(LibraryTest, RefusesRegistrationsWhenAskedOrWithoutADirectory) {
    const DmiId id = InstallTestMif();
    {
        korvo::test::ScopedEnv refuse("KORVO_SP_REFUSE", "register, registerci:0x105");
        DmiHandle handle = 0;
        EXPECT_EQ(DmiRegister(&handle), DMIERR_ILLEGAL_HANDLE);
        EXPECT_EQ(TestInstrumentation::Register(id, &handle), DMIERR_ILLEGAL_KEYS);
    }
    KorvoSpShutdown();
    korvo::test::ScopedEnv unset("WIN32DMIPATH", nullptr);
    DmiHandle handle = 0;
    EXPECT_EQ(DmiRegister(&handle), DMIERR_DATABASE_CORRUPT);
}

// The library's own management calls reach the same routing as the socket, and hand out
// records that their Free calls release.
TEST_F(LibraryTest, ManagementCallsReachTheInstrumentation) {
    const DmiId id = InstallTestMif();
    DmiHandle ci = 0;
    ASSERT_EQ(TestInstrumentation::Register(id, &ci), DMIERR_NO_ERROR);
    const DmiHandle handle = RegisterManagement();
    const unsigned before = KorvoSpOutstandingBlocks();

    DmiAttributeValues* keys = DmiNewAttributeValues(1, md, nullptr);
    keys->list[0] = {1, {MIF_INTEGER, {}}};
    keys->list[0].data.value.integer = 2;
    DmiDataUnion* value = nullptr;
    ASSERT_EQ(DmiGetAttribute(handle, id, 2, 2, keys, &value), DMIERR_NO_ERROR);
    EXPECT_EQ(value->type, MIF_DISPLAYSTRING);
    EXPECT_EQ(std::string(value->value.str->body, value->value.str->size),
              std::string("row 2\0", 6));
    DmiFreeDataUnion(value, md);
    EXPECT_EQ(DmiGetAttribute(handle, id, 2, 9, keys, &value), DMIERR_ATTRIBUTE_NOT_FOUND);

    DmiDataUnion* newValue = DmiNewDataUnion(md, nullptr);
    newValue->type = MIF_DISPLAYSTRING;
    newValue->value.str = DmiNewString("set", md, nullptr);
    EXPECT_EQ(DmiSetAttribute(handle, id, 2, 2, 0, keys, newValue), DMIERR_NO_ERROR);
    EXPECT_EQ(DmiSetAttribute(handle, id, 2, 1, 0, keys, newValue), DMIERR_ILLEGAL_TO_SET);
    DmiFreeDataUnion(newValue, md);
    {
        std::lock_guard lock(TestInstrumentation::mutex);
        ASSERT_EQ(TestInstrumentation::writes.size(), 1u);
        EXPECT_EQ(TestInstrumentation::writes[0].text, "set");
    }

    DmiMultiRowRequest* request = DmiNewMultiRowRequest(1, md, nullptr);
    request->list[0] = {id, 2, 1 /* this row */, keys, 0 /* every attribute */};
    DmiMultiRowData* rows = nullptr;
    // Attribute 4 of the row is the instrumentation's broken one: the whole request fails.
    EXPECT_EQ(DmiGetMultiple(handle, request, &rows), DMIERR_VALUE_UNKNOWN);
    EXPECT_EQ(rows, nullptr);
    request->list[0].attributeId = 3;
    ASSERT_EQ(DmiGetMultiple(handle, request, &rows), DMIERR_NO_ERROR);
    ASSERT_EQ(rows->size, 1u);
    EXPECT_EQ(rows->list[0].values->list[0].data.value.counter64, (uint64_t{1} << 40) + 2);
    DmiFreeMultiRowData(rows, md);
    DmiFreeMultiRowRequest(request, md);  // with the key list it holds
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);
}

// sp.log tells an administrator what registered and went, the calls refused and the callbacks
// that answered an error, but not the end of a table, which every walk meets.
TEST_F(LibraryTest, TheLogSaysWhatAnAdministratorLooksFor) {
    const DmiId id = InstallTestMif();
    DmiHandle ci = 0;
    ASSERT_EQ(TestInstrumentation::Register(id, &ci), DMIERR_NO_ERROR);
    const DmiHandle handle = RegisterManagement();
    DmiAttributeValues* keys = DmiNewAttributeValues(1, md, nullptr);
    keys->list[0] = {1, {MIF_INTEGER, {}}};
    DmiDataUnion* value = nullptr;
    keys->list[0].data.value.integer = TestInstrumentation::kUnknownRow;
    EXPECT_EQ(DmiGetAttribute(handle, id, 2, 2, keys, &value), DMIERR_VALUE_UNKNOWN);
    keys->list[0].data.value.integer = 9;
    EXPECT_EQ(DmiGetAttribute(handle, id, 2, 2, keys, &value), DMIERR_ROW_NOT_FOUND);
    EXPECT_EQ(DmiGetAttribute(handle, id, 2, 9, keys, &value), DMIERR_ATTRIBUTE_NOT_FOUND);
    DmiFreeAttributeValues(keys, md);
    ASSERT_EQ(DmiUnregisterCi(ci), DMIERR_NO_ERROR);

    const std::string log = ReadFile(dmiFile(management::kLogFileName));
    const std::string component = std::to_string(id);
    const std::pair<std::string, bool> lines[] = {
        {"registered the instrumentation of component " + component, true},
        {"the get callback of component " + component +
             " for group 2 attribute 2 answered value unknown (0x10F)",
         true},
        {"DmiGetAttribute refused: value unknown (0x10F)", true},
        {"DmiGetAttribute refused: attribute not found (0x100)", true},
        {"unregistered the instrumentation of component " + component, true},
        {"row not found", false},
    };
    for (const auto& [line, present] : lines) {
        EXPECT_EQ(log.find(line) != std::string::npos, present) << line << "\n" << log;
    }
}

// Management applications that listen are called with each event, in a record of the
// library's that it frees after the call.
TEST_F(LibraryTest, ListenersAreCalledWithEachEvent) {
    const DmiId id = InstallTestMif();
    const DmiHandle handle = RegisterManagement();
    static std::vector<std::string> seen;
    seen.clear();
    const auto onEvent = [](DmiHandle, DmiMultiRowData* event, void*) {
        for (DmiUnsigned i = 0; i < event->size; ++i) {
            const DmiString* name = event->list[i].className;
            seen.emplace_back(name->body, name->size);
        }
    };
    ASSERT_EQ(DmiIndicationListen(handle), DMIERR_ILL_FORMED_COMMAND) << "no callback yet";
    ASSERT_EQ(DmiSetIndicationCallbacks(handle, onEvent, nullptr), DMIERR_NO_ERROR);
    ASSERT_EQ(DmiIndicationListen(handle), DMIERR_NO_ERROR);
    const unsigned before = KorvoSpOutstandingBlocks();
    DmiMultiRowData* event = BuildWidgetEvent(md, id);
    ASSERT_EQ(DmiOriginateEvent(id, nullptr, nullptr, event), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(event, md);
    EXPECT_EQ(seen, (std::vector<std::string>{kWidgetEventClass, kWidgetTableClass}));
    EXPECT_EQ(KorvoSpOutstandingBlocks(), before);

    ASSERT_EQ(DmiStopIndicationListening(handle), DMIERR_NO_ERROR);
    event = BuildWidgetEvent(md, id);
    DmiOriginateEvent(id, nullptr, nullptr, event);
    DmiFreeMultiRowData(event, md);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(LibraryTest, EventsAreCheckedKeptAndNumbered) {
    const DmiId id = InstallTestMif();
    const std::string log = dmiFile(management::kEventLogFileName);
    for (int i = 0; i < 2; ++i) {
        DmiMultiRowData* event = BuildWidgetEvent(md, id);
        EXPECT_EQ(DmiOriginateEvent(id, nullptr, nullptr, event), DMIERR_NO_ERROR);
        DmiFreeMultiRowData(event, md);  // the caller's to free, right after the call
    }
    std::vector<nlohmann::json> events = EventLines(log);
    ASSERT_EQ(events.size(), 2u);
    const nlohmann::json& first = events[0];
    EXPECT_EQ(first["sequence"], 1);
    EXPECT_EQ(first["component"], id);
    EXPECT_EQ(first["time"].get<std::string>().size(), 25u);
    EXPECT_EQ(first["time"].get<std::string>()[14], '.');
    ASSERT_EQ(first["rows"].size(), 2u);
    EXPECT_EQ(first["rows"][0]["group"], 3);
    EXPECT_EQ(first["rows"][0]["class"], kWidgetEventClass);
    EXPECT_EQ(first["rows"][0]["keys"][0]["text"], kWidgetTableClass);
    EXPECT_EQ(first["rows"][0]["values"][0]["integer"], 4);
    EXPECT_EQ(first["rows"][1]["values"][1]["hex"], "0102FF");
    EXPECT_EQ(events[1]["sequence"], 2);

    // Numbering goes on after a restart.
    KorvoSpShutdown();
    DmiMultiRowData* later = BuildWidgetEvent(md, id);
    EXPECT_EQ(DmiOriginateEvent(id, nullptr, nullptr, later), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(later, md);
    EXPECT_EQ(EventLines(log).back()["sequence"], 3);
}

// A file too large for the process's limit (EFBIG; a full disk gives ENOSPC): the originator
// hears "buffer full", the listeners still get the event, and it is written, in order, with
// the next event once the file takes lines again.
TEST_F(LibraryTest, AnEventTheLogCannotTakeStillReachesListenersAndIsWrittenLater) {
    const DmiId id = InstallTestMif();
    const DmiHandle handle = RegisterManagement();
    static uint64_t heard;
    heard = 0;
    ASSERT_EQ(DmiSetIndicationCallbacks(
                  handle, [](DmiHandle, DmiMultiRowData*, void*) { ++heard; }, nullptr),
              DMIERR_NO_ERROR);
    ASSERT_EQ(DmiIndicationListen(handle), DMIERR_NO_ERROR);
    const auto originate = [&] {
        DmiMultiRowData* event = BuildWidgetEvent(md, id);
        const DmiErrorStatus status = DmiOriginateEvent(id, nullptr, nullptr, event);
        DmiFreeMultiRowData(event, md);
        return status;
    };
    const std::string log = dmiFile(management::kEventLogFileName);
    const std::string serviceLog = dmiFile(management::kLogFileName);
    // The event log grows past the service provider's own, so that the limit below leaves
    // room for the lines that say what happened.
    uint64_t written = 0;
    while (!std::filesystem::exists(log) ||
           std::filesystem::file_size(log) < std::filesystem::file_size(serviceLog) + 4096) {
        ASSERT_EQ(originate(), DMIERR_NO_ERROR);
        ASSERT_LT(++written, 100u);
    }

    // Room for the start of one more line only: a short write, then EFBIG.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit limited = unlimited;
    limited.rlim_cur = std::filesystem::file_size(log) + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const DmiErrorStatus full = originate();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(full, DMIERR_BUFFER_FULL);
    EXPECT_EQ(heard, written + 1);

    ASSERT_EQ(originate(), DMIERR_NO_ERROR);
    EXPECT_EQ(heard, written + 2);
    std::vector<uint64_t> expected(written + 2);
    std::iota(expected.begin(), expected.end(), 1);
    std::vector<uint64_t> sequences;  // a torn line's start is skipped, as a reader does
    std::ifstream file(log);
    for (std::string line; std::getline(file, line);) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object()) {
            sequences.push_back(event["sequence"].get<uint64_t>());
        }
    }
    EXPECT_EQ(sequences, expected);
    const std::string said = ReadFile(serviceLog);
    EXPECT_NE(said.find("event " + std::to_string(written + 1) + " held back, now written"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("(buffer full (0x200)): cannot append to " + log + ": File too large"),
              std::string::npos)
        << said;
}

TEST_F(LibraryTest, EventsThatDoNotMatchTheMifAreRefused) {
    const DmiId id = InstallTestMif();
    struct Case {
        const char* what;
        void (*spoil)(DmiMultiRowData*, DmiMemDsc);
        DmiId component;
        DmiErrorStatus status;
    };
    const Case cases[] = {
        {"unknown component", [](DmiMultiRowData*, DmiMemDsc) {}, id + 1,
         DMIERR_COMPONENT_NOT_FOUND},
        {"group not in the MIF", [](DmiMultiRowData* e, DmiMemDsc) { e->list[1].groupId = 9; }, id,
         DMIERR_GROUP_NOT_FOUND},
        {"class of another group",
         [](DmiMultiRowData* e, DmiMemDsc md) {
             DmiFreeString(e->list[0].className, md);
             e->list[0].className = DmiNewString(kWidgetTableClass, md, nullptr);
         },
         id, DMIERR_GROUP_NOT_FOUND},
        {"no class string",
         [](DmiMultiRowData* e, DmiMemDsc md) {
             DmiFreeString(e->list[1].className, md);
             e->list[1].className = nullptr;
         },
         id, DMIERR_GROUP_NOT_FOUND},
        {"a row of another component", [](DmiMultiRowData* e, DmiMemDsc) { e->list[1].compId++; },
         id, DMIERR_COMPONENT_NOT_FOUND},
        {"no rows", [](DmiMultiRowData* e, DmiMemDsc) { e->size = 0; }, id,
         DMIERR_ILL_FORMED_COMMAND},
        {"a value of unknown type",
         [](DmiMultiRowData* e, DmiMemDsc) { e->list[0].values->list[0].data.type = 4; }, id,
         DMIERR_ILL_FORMED_COMMAND},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        DmiMultiRowData* event = BuildWidgetEvent(md, id);
        item.spoil(event, md);
        EXPECT_EQ(DmiOriginateEvent(item.component, nullptr, nullptr, event), item.status);
        event->size = 2;
        DmiFreeMultiRowData(event, md);
    }
    EXPECT_EQ(DmiOriginateEvent(id, nullptr, nullptr, nullptr), DMIERR_ILL_FORMED_COMMAND);
    EXPECT_TRUE(EventLines(dmiFile(management::kEventLogFileName)).empty());
    EXPECT_NE(ReadFile(dmiFile(management::kLogFileName)).find("is not \"TEST|Widget Event|001\""),
              std::string::npos);
}

}  // namespace
}  // namespace korvo::sp::test

namespace korvo::sp::test {
namespace {

// Links planted where the provider writes (its log, the temporary file of a database update)
// are never followed: the files they point to stay as they were, and the update still lands.
TEST_F(LibraryTest, PlantedLinksAreNeverFollowed) {
    const std::string outside = WriteFile("victim", "untouched\n");
    ASSERT_EQ(mkdir(dmiPath().c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dmiPath() + "/components").c_str(), 0700), 0);
    for (const std::string& link :
         {dmiFile(management::kLogFileName), dmiPath() + "/components/index.json.tmp"}) {
        ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    }
    const DmiId id = InstallTestMif();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(ReadFile(outside), "untouched\n");
    EXPECT_NE(ReadFile(dmiPath() + "/components/index.json").find("\"id\""), std::string::npos);
}

// A directory planted under the name a careless update would write to first does not stop the
// update, and stays as it was.
TEST_F(LibraryTest, APlantedTemporaryNameBlocksNoUpdate) {
    ASSERT_EQ(mkdir(dmiPath().c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dmiPath() + "/components").c_str(), 0700), 0);
    const std::string planted = dmiPath() + "/components/index.json.tmp";
    ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
    EXPECT_NE(InstallTestMif(), 0u);
    EXPECT_NE(ReadFile(dmiPath() + "/components/index.json").find("\"id\""), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(planted));
}

}  // namespace
}  // namespace korvo::sp::test
