// The host's registry: a REGEDIT4 file whose parse is kept until the file changes, with the
// Win32 results for missing keys and values, buffers that are too small, and files that cannot
// be parsed or are no regular files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host_registry.h"
#include "platform.h"
#include "support/private_root.h"

namespace {

using korvo::test::PrivateRoot;
using korvo::test::ScopedEnv;

class Registry : public testing::Test {
  protected:
    void Write(const std::string& text) { WriteFile(root.path() + "/registry.reg", text); }

    static void WriteFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    struct Query {
        LSTATUS status;
        DWORD type;
        std::vector<uint8_t> data;
    };

    // Reads a value of the key at `path` under HKEY_LOCAL_MACHINE into a buffer of `capacity`.
    static Query QueryValue(const char* path, const char* name, DWORD capacity = 64) {
        HKEY key = nullptr;
        Query query{RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), 0, {}};
        if (query.status != ERROR_SUCCESS) {
            return query;
        }
        std::vector<uint8_t> buffer(capacity, 0xEE);
        DWORD size = capacity;
        query.status = RegQueryValueExA(key, name, nullptr, &query.type, buffer.data(), &size);
        buffer.resize(query.status == ERROR_SUCCESS ? size : capacity);
        query.data = buffer;
        RegCloseKey(key);
        return query;
    }

    // The names RegEnumKeyExA gives for the key at `path`, in order, until it stops.
    static std::vector<std::string> SubkeyNames(const char* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return {"<cannot open>"};
        }
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD size = sizeof name;
            const LSTATUS status =
                RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) {
                EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
                break;
            }
            names.emplace_back(name, size);
        }
        RegCloseKey(key);
        return names;
    }

    static LSTATUS OpenStatus(const char* path) {
        HKEY key = nullptr;
        const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        }
        return status;
    }

    void TearDown() override {
        EXPECT_EQ(korvo::host::OpenRegistryKeyCount(), openAtStart) << "keys left open";
    }

    PrivateRoot root;
    ScopedEnv noOverride{"KORVO_REGISTRY", nullptr};
    size_t openAtStart = korvo::host::OpenRegistryKeyCount();
};

TEST_F(Registry, ValueKindsAreStoredAsTheRegistryHoldsThem) {
    Write(
        "REGEDIT4\r\n"
        "\r\n"
        "; the values of one key\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Word\"=dword:0000000b\r\n"
        "\"Short\"=dword:1ff\r\n"
        "\"Bytes\"=hex:01,ab,FF\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Long\"=hex(7):61,00,\\\r\n"
        "  62,00,\\\r\n"
        "  00\r\n"
        "\"Text\"=\"C:\\\\dir \\\"q\\\"\"\r\n"
        "@=\"default\"\r\n"
        "\"Spaced\" = dword:00000002\r\n");
    struct Case {
        const char* name;
        DWORD type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"Word", REG_DWORD, {0x0b, 0, 0, 0}},
        {"Short", REG_DWORD, {0xff, 0x01, 0, 0}},
        {"Bytes", REG_BINARY, {0x01, 0xab, 0xff}},
        {"Empty", REG_BINARY, {}},
        {"Long", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
        {"Text", REG_SZ, {'C', ':', '\\', 'd', 'i', 'r', ' ', '"', 'q', '"', 0}},
        {"", REG_SZ, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
        {nullptr, REG_SZ, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
        {"Spaced", REG_DWORD, {2, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Query query = QueryValue("SOFTWARE\\Test", c.name);
        EXPECT_EQ(query.status, ERROR_SUCCESS) << (c.name ? c.name : "(null)");
        EXPECT_EQ(query.type, c.type) << (c.name ? c.name : "(null)");
        EXPECT_EQ(query.data, c.data) << (c.name ? c.name : "(null)");
    }
}

TEST_F(Registry, NamesIgnoreAsciiCaseAndSubkeysComeInFileOrder) {
    Write(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\Zeta\\Deep\\Deeper]\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\alpha]\n"
        "\"Bus\"=dword:00000001\n"
        "[hkey_local_machine\\SOFT\\ZETA]\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\Mid]\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\ALPHA]\n"
        "\"slot\"=dword:00000002\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\zeta\\Other]\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\Mid]\n"
        "\"Bus\"=dword:00000003\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\ZETA\\deep\\First]\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\Mid]\n"
        "\"BUS\"=dword:00000004\n");
    EXPECT_EQ(SubkeyNames("soft"), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
    EXPECT_EQ(SubkeyNames("soft\\zeta"), (std::vector<std::string>{"Deep", "Other"}));
    EXPECT_EQ(SubkeyNames("soft\\zeta\\deep"), (std::vector<std::string>{"Deeper", "First"}));
    EXPECT_EQ(QueryValue("soft\\mid", "bus").data, (std::vector<uint8_t>{4, 0, 0, 0}))
        << "the value set last wins";
    EXPECT_EQ(SubkeyNames(""), std::vector<std::string>{"Soft"});
    // Keys exist when only a section below them does.
    EXPECT_EQ(OpenStatus("SOFT\\zeta\\DEEP"), ERROR_SUCCESS);
    EXPECT_EQ(QueryValue("soft\\Alpha", "BUS").data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(QueryValue("soft\\Alpha", "Slot").data, (std::vector<uint8_t>{2, 0, 0, 0}))
        << "a key's sections add up";
    EXPECT_EQ(OpenStatus("Soft\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryValue("Soft\\alpha", "Missing").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryValue("Soft\\Mid", nullptr).status, ERROR_FILE_NOT_FOUND)
        << "no default value was written";
}

TEST_F(Registry, TooSmallBuffersGetNothingAndLearnTheSize) {
    Write(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\T\\123]\n"
        "[HKEY_LOCAL_MACHINE\\T\\1234]\n"
        "\"Long\"=hex:01,02,03,04,05\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T", 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[4] = {'x', 'x', 'x', 'x'};
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "123");
    EXPECT_EQ(size, 3u) << "the length stored leaves out the NUL";

    std::memset(name, 'x', sizeof name);
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(std::string(name, 4), "xxxx");
    EXPECT_EQ(size, 5u) << "a four-character name needs five";

    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 2, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);

    const Query tooSmall = QueryValue("T\\1234", "Long", 4);
    EXPECT_EQ(tooSmall.status, ERROR_MORE_DATA);
    EXPECT_EQ(tooSmall.type, REG_BINARY);
    EXPECT_EQ(tooSmall.data, std::vector<uint8_t>(4, 0xEE));
    EXPECT_EQ(QueryValue("T\\1234", "Long", 5).status, ERROR_SUCCESS);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T\\1234", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD needed = 0;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Long", nullptr, &type, nullptr, &needed), ERROR_SUCCESS);
    EXPECT_EQ(needed, 5u) << "no buffer asks for the size";
    DWORD four = 4;
    uint8_t buffer[4];
    EXPECT_EQ(RegQueryValueExA(key, "Long", nullptr, nullptr, buffer, &four), ERROR_MORE_DATA);
    EXPECT_EQ(four, 5u);
    RegCloseKey(key);
}

TEST_F(Registry, UnparsableFilesAreBadDatabases) {
    using namespace std::string_view_literals;
    const std::string_view texts[] = {
        "",
        "REGEDIT5\n[HKEY_LOCAL_MACHINE\\A]\n",
        "\n[HKEY_LOCAL_MACHINE\\A]\n",
        "REGEDIT4\n\"Early\"=dword:00000001\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nstray text\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\0C]\n"sv,
        "REGEDIT4\n[NOT_A_HIVE\\A]\n",
        "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=-\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,,02\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:100\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex(x):01\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"open\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"a\\n\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"a\" trailing\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=word:1\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nV=dword:00000001\n",
    };
    for (const std::string_view text : texts) {
        Write(std::string(text));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key), ERROR_BADDB) << text;
        EXPECT_EQ(key, nullptr);
    }
}

TEST_F(Registry, ParseErrorsNameTheLine) {
    const auto parsed = korvo::host::ParseRegistryText(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n  zz\n");
    EXPECT_EQ(parsed.root, nullptr);
    EXPECT_EQ(parsed.error.rfind("line 3:", 0), 0u) << parsed.error;
}

TEST_F(Registry, OtherHivesCommentsAndBlankLinesAreSkipped) {
    Write(
        "REGEDIT4\n"
        "\n"
        "[HKEY_CURRENT_USER\\A]\n"
        "\"Elsewhere\"=dword:00000001\n"
        "  ; indented comment \\\n"
        "[HKEY_LOCAL_MACHINE\\A]\n"
        "\"Here\"=dword:00000002\n");
    EXPECT_EQ(QueryValue("A", "Elsewhere").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryValue("A", "Here").status, ERROR_SUCCESS)
        << "a comment ending in a backslash does not swallow the next line";
}

TEST_F(Registry, AMissingFileIsAnEmptyRegistry) {
    EXPECT_EQ(OpenStatus("SOFTWARE"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(""), std::vector<std::string>{});
}

TEST_F(Registry, KorvoRegistryNamesTheFile) {
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\FromRoot]\n");
    const std::string other = root.path() + "/other.reg";
    WriteFile(other, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\FromOther]\n");
    EXPECT_EQ(OpenStatus("FromRoot"), ERROR_SUCCESS);
    ScopedEnv chosen("KORVO_REGISTRY", other.c_str());
    EXPECT_EQ(OpenStatus("FromRoot"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenStatus("FromOther"), ERROR_SUCCESS);
}

TEST_F(Registry, EditsShowAtTheNextOpenWhileOpenKeysKeepTheirSnapshot) {
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\T\\1]\n\"Bus\"=dword:00000001\n");
    HKEY table = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T", 0, KEY_READ, &table), ERROR_SUCCESS);

    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\T\\2]\n\"Bus\"=dword:00000009\n");
    char name[8];
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(table, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "1") << "the open key still sees the file as it was";
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(table, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(QueryValue("T\\2", "Bus").data, (std::vector<uint8_t>{9, 0, 0, 0}));
    EXPECT_EQ(OpenStatus("T\\1"), ERROR_FILE_NOT_FOUND);
    // A relative open is an open too: it reads the file as it is now.
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(table, "1", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(table, "2", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(table);
}

TEST_F(Registry, HandlesAndPathsFollowWin32) {
    Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"V\"=dword:00000001\n");
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY same = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
    EXPECT_NE(same, key) << "a new handle to the same key";
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(same, "V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closed twice";
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

    EXPECT_EQ(OpenStatus("\\A"), 161) << "ERROR_BAD_PATHNAME";
    EXPECT_EQ(OpenStatus("A\\\\B"), 161);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, LookupsRunOnSeveralThreadsAtOnce) {
    Write(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\T\\1]\n\"Bus\"=dword:00000001\n"
        "[HKEY_LOCAL_MACHINE\\T\\2]\n\"Bus\"=dword:00000002\n");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 100; ++i) {
                const Query query = QueryValue(i % 2 ? "T\\1" : "T\\2", "Bus");
                if (query.status != ERROR_SUCCESS || query.data[0] != (i % 2 ? 1 : 2)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

// Gives the registry file a modification time well in the past, as a file that sits unchanged
// has: `secondsAgo` apart for two versions.
void AgeFile(const std::string& path, time_t secondsAgo) {
    const timespec times[2] = {{time(nullptr) - secondsAgo, 0}, {time(nullptr) - secondsAgo, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A large table of slots: lookups keep one parse while the file stays as it is (the same file,
// size and modification time: rewritten in place with other values and its time put back, it
// still answers from the first parse), and see an edit of the same size at once.
TEST_F(Registry, AParseIsKeptUntilTheFileChanges) {
    const auto table = [](uint32_t bus) {
        std::string text = "REGEDIT4\n";
        for (int slot = 0; slot < 900; ++slot) {
            text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Slots\\" + std::to_string(slot) + "]\n";
            text += "\"Bus\"=dword:0000000" + std::to_string(bus) + "\n";
            text += ";" + std::string(5000, 'x') + "\n";
        }
        return text;
    };
    const std::string path = root.path() + "/registry.reg";
    Write(table(1));
    AgeFile(path, 100);
    struct stat aged {};
    ASSERT_EQ(stat(path.c_str(), &aged), 0);
    for (int slot = 0; slot < 900; ++slot) {
        const std::string key = "SOFTWARE\\Slots\\" + std::to_string(slot);
        ASSERT_EQ(QueryValue(key.c_str(), "Bus").data, (std::vector<uint8_t>{1, 0, 0, 0}));
    }
    Write(table(3));
    const timespec times[2] = {aged.st_mtim, aged.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    for (const char* key : {"SOFTWARE\\Slots\\0", "SOFTWARE\\Slots\\899"}) {
        EXPECT_EQ(QueryValue(key, "Bus").data, (std::vector<uint8_t>{1, 0, 0, 0}))
            << key << ": the file was read again although it had not changed";
    }

    Write(table(2));
    AgeFile(path, 50);
    EXPECT_EQ(QueryValue("SOFTWARE\\Slots\\899", "Bus").data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

// A registry of many small keys, as a machine with much software installed has: `bytes` long.
std::string ManyKeys(size_t bytes) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; text.size() < bytes; ++i) {
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" + std::to_string(i % 50) + "\\Product" +
                std::to_string(i % 997) + "\\Item" + std::to_string(i) + "]\n";
        text += "\"Name\"=\"Some value text " + std::to_string(i) + "\"\n";
        text += "\"Count\"=dword:0000000b\n\"Data\"=hex:01,02,03,04,05,06,07,08\n\n";
    }
    return text;
}

size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The parse of a large registry takes a few times the file's size, and once the file has
// shrunk, the memory of the old parse goes back to the system.
TEST_F(Registry, AParseTakesAFewTimesTheFilesSizeAndAStaleOneIsFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP()
        << "a sanitizer keeps freed memory in quarantine, so resident size says nothing here";
#endif
    const std::string big = ManyKeys(512 * 1024);
    const size_t inUse = mallinfo2().uordblks;
    {
        const auto parse = korvo::host::ParseRegistryText(big);
        ASSERT_NE(parse.root, nullptr) << parse.error;
        const size_t held = mallinfo2().uordblks - inUse;
        EXPECT_LT(held, 5 * big.size()) << "the parse of " << big.size() << " bytes holds " << held;
    }
    malloc_trim(0);  // what follows measures the resident memory of a parse of its own

    const std::string path = root.path() + "/registry.reg";
    Write(big);
    AgeFile(path, 100);
    const size_t before = ResidentBytes();
    ASSERT_EQ(OpenStatus("SOFTWARE\\Vendor7\\Product7\\Item7"), ERROR_SUCCESS);
    const size_t grown = ResidentBytes() - before;
    ASSERT_GT(grown, big.size()) << "the parse is kept";
    Write(ManyKeys(1000));
    AgeFile(path, 50);
    ASSERT_EQ(OpenStatus("SOFTWARE\\Vendor7\\Product7\\Item7"), ERROR_SUCCESS);
    EXPECT_LT(ResidentBytes(), before + grown / 4)
        << "grew by " << grown << " bytes for the large file";
}

// Only a regular file is read, and never with an open that could block (an open of the FIFO
// that waited for a writer would never return, and the test would not finish); a file over
// 16 MiB is not read at all. Each is a bad database.
TEST_F(Registry, OnlyARegularFileOfAtMost16MiBIsRead) {
    const std::string path = root.path() + "/registry.reg";
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"a link to /dev/zero", [&] { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
        {"a directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
        {"a file of 16 MiB and one byte",
         [&] {
             Write("REGEDIT4\n");
             ASSERT_EQ(truncate(path.c_str(), 16 * 1024 * 1024 + 1), 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        EXPECT_EQ(OpenStatus("SOFTWARE"), ERROR_BADDB);
        std::filesystem::remove_all(path);
    }
}

}  // namespace
