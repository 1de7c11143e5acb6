#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/RegistryTestSupport.h"

using namespace zr::os;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;

Bytes Text(const std::string& text, bool terminated = true) {
    Bytes bytes(text.begin(), text.end());
    if (terminated) bytes.push_back(0);
    return bytes;
}

// A key handle closed however the test ends.
struct Key {
    HKEY handle = 0;
    ~Key() {
        if (handle) RegCloseKey(handle);
    }
};

LSTATUS Create(HKEY parent, const char* path, Key& key, DWORD* disposition = nullptr) {
    return RegCreateKeyEx(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key.handle,
                          disposition);
}

LSTATUS Set(HKEY key, const char* name, DWORD type, const Bytes& data) {
    return RegSetValueEx(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LSTATUS Query(HKEY key, const char* name, DWORD& type, Bytes& data) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueEx(key, name, nullptr, &type, nullptr, &size);
    // Another process may make the value longer between the two calls.
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        data.resize(size);
        status = RegQueryValueEx(key, name, nullptr, &type, data.data(), &size);
        if (status != ERROR_MORE_DATA) break;
    }
    data.resize(size);
    return status;
}

using zr::testing::SubkeyNames;

std::string FileText(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

using RegistryStore = zr::testing::ScratchRegistry;

}  // namespace

TEST_F(RegistryStore, KeysAreFoldersWhoseNamesIgnoreCase) {
    Key example;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Example", example, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(fs::is_directory(store_ + "/HKEY_CURRENT_USER/Software/Example"));

    // Another spelling finds the same key and makes no second folder.
    Key again;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "SOFTWARE\\example\\Sub", again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY) << "only Sub was new";
    EXPECT_TRUE(fs::is_directory(store_ + "/HKEY_CURRENT_USER/Software/Example/Sub"));
    EXPECT_EQ(std::distance(fs::directory_iterator(store_ + "/HKEY_CURRENT_USER"),
                            fs::directory_iterator()),
              1);

    Key opened;
    EXPECT_EQ(
        RegOpenKeyEx(HKEY_CURRENT_USER, "software\\EXAMPLE\\sub", 0, KEY_READ, &opened.handle),
        ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Missing", 0, KEY_READ, &opened.handle),
              ERROR_FILE_NOT_FOUND);

    // Subkeys are listed in case-insensitive order, whatever their spelling.
    for (const char* name : {"beta", "Alpha", "gamma"}) {
        Key sub;
        ASSERT_EQ(Create(example.handle, name, sub), ERROR_SUCCESS);
    }
    EXPECT_EQ(SubkeyNames(example.handle),
              (std::vector<std::string>{"Alpha", "beta", "gamma", "Sub"}));
}

TEST_F(RegistryStore, NoPathLeavesTheStore) {
    // Paths that would climb out of the store or name nothing are refused...
    Key key;
    for (const char* path : {"..", "..\\..\\escaped", "Software\\..\\..\\..\\escaped", "\\Software",
                             ".", "Software\\\\Empty"}) {
        EXPECT_EQ(Create(HKEY_CURRENT_USER, path, key), ERROR_BAD_PATHNAME) << path;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key.handle),
                  ERROR_BAD_PATHNAME)
            << path;
    }
    EXPECT_FALSE(fs::exists(dir_ + "/escaped"));
    EXPECT_FALSE(fs::exists(store_ + "/escaped"));

    // ...and key names that are no folder names stay single keys inside it.
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "a/..%2F..%2Fescaped", key), ERROR_SUCCESS);
    RegCloseKey(key.handle);
    key.handle = 0;
    std::vector<std::string> inside;
    for (const auto& entry : fs::recursive_directory_iterator(store_))
        inside.push_back(entry.path().lexically_relative(store_).string());
    EXPECT_EQ(inside.size(), 2u) << "the root folder and one key folder";
    EXPECT_FALSE(fs::exists(dir_ + "/escaped"));
    Key user;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &user.handle), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(user.handle), std::vector<std::string>{"a/..%2F..%2Fescaped"});
}

TEST_F(RegistryStore, EveryValueComesBackByteForByteFromAReadableFile) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Values", key), ERROR_SUCCESS);
    const Bytes dword{0x2a, 0, 0, 0};
    const Bytes binary{0, 1, 0xff, '\n', '"'};
    const Bytes list = Text(std::string("one\0two words\0\0", 15), false);
    const std::vector<std::tuple<std::string, DWORD, Bytes>> values{
        {"Text", REG_SZ, Text("quote \" back\\slash\r\nline two, h\xc3\xa9")},
        {"", REG_SZ, Text("the default value")},
        {"Expand", REG_EXPAND_SZ, Text("%HOME%\\bin")},
        {"Count", REG_DWORD, dword},
        {"Blob", REG_BINARY, binary},
        {"List", REG_MULTI_SZ, list},
        {"Unterminated", REG_SZ, Text("no zero", false)},
        {"Wide", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
        {"Empty", REG_BINARY, Bytes{}},
        {"name with \"quotes\" = and\ttab", REG_SZ, Text("")},
    };
    for (const auto& [name, type, data] : values)
        ASSERT_EQ(Set(key.handle, name.c_str(), type, data), ERROR_SUCCESS) << name;

    // Read back through a fresh handle, so nothing comes from memory.
    Key reopened;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Values", 0, KEY_READ, &reopened.handle),
              ERROR_SUCCESS);
    for (const auto& [name, type, data] : values) {
        DWORD readType = 0;
        Bytes read;
        ASSERT_EQ(Query(reopened.handle, name.c_str(), readType, read), ERROR_SUCCESS) << name;
        EXPECT_EQ(readType, type) << name;
        EXPECT_EQ(read, data) << name;
    }

    // A person can read the file: one line per value, in the order first set.
    std::string file = FileText(store_ + "/HKEY_LOCAL_MACHINE/Software/Values/%values");
    EXPECT_NE(file.find("\n\"Count\"=dword:0000002a\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\n\"List\"=multi_sz:\"one\",\"two words\"\n"), std::string::npos) << file;
    EXPECT_LT(file.find("\"Text\""), file.find("\"Empty\""));
}

TEST_F(RegistryStore, BuffersNamesAndErrorsFollowTheHost) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Buffers", key), ERROR_SUCCESS);
    ASSERT_EQ(Set(key.handle, "Greeting", REG_SZ, Text("hello")), ERROR_SUCCESS);
    ASSERT_EQ(Set(key.handle, "Second", REG_DWORD, Bytes{1, 0, 0, 0}), ERROR_SUCCESS);

    // A buffer that is too small gets nothing, only the size it needs.
    BYTE small[3] = {7, 7, 7};
    DWORD size = sizeof small;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueEx(key.handle, "GREETING", nullptr, &type, small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(small[0], 7);

    // Setting a name in another spelling replaces the value, in its place.
    ASSERT_EQ(Set(key.handle, "greeting", REG_SZ, Text("bye")), ERROR_SUCCESS);
    char name[16];
    DWORD nameLength = sizeof name;
    EXPECT_EQ(RegEnumValue(key.handle, 0, name, &nameLength, nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, nameLength), "Greeting");
    EXPECT_EQ(size, 4u);
    nameLength = 3;
    EXPECT_EQ(RegEnumValue(key.handle, 1, name, &nameLength, nullptr, &type, nullptr, &size),
              ERROR_MORE_DATA)
        << "\"Second\" does not fit three characters";
    nameLength = sizeof name;
    EXPECT_EQ(RegEnumValue(key.handle, 2, name, &nameLength, nullptr, &type, nullptr, &size),
              ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(RegDeleteValue(key.handle, "SECOND"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key.handle, "Second"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueEx(key.handle, "Second", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryStore, HandlesKeepTheirRightsAndNoticeDeletedKeys) {
    Key writer;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Rights\\Child", writer), ERROR_SUCCESS);
    Key reader;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Rights", 0, KEY_READ, &reader.handle),
              ERROR_SUCCESS);
    EXPECT_EQ(Set(reader.handle, "x", REG_SZ, Text("x")), ERROR_ACCESS_DENIED);
    Key child;
    EXPECT_EQ(Create(reader.handle, "NewChild", child), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Software\\Rights"), ERROR_ACCESS_DENIED)
        << "a key with subkeys is not deleted";

    // A handle to a deleted key stays dead, also once a key of that name is back.
    EXPECT_EQ(RegDeleteKey(reader.handle, "child"), ERROR_SUCCESS);
    EXPECT_EQ(Set(writer.handle, "x", REG_SZ, Text("x")), ERROR_KEY_DELETED);
    Key reborn;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Rights\\Child", reborn), ERROR_SUCCESS);
    EXPECT_EQ(Set(writer.handle, "x", REG_SZ, Text("x")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKey(reader.handle, "Child\\Missing"), ERROR_FILE_NOT_FOUND);

    HKEY closed = reader.handle;
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    reader.handle = 0;
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(closed, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStore, AValuesFileThatDoesNotParseIsNeitherTrustedNorOverwritten) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Damaged", key), ERROR_SUCCESS);
    const std::string path = store_ + "/HKEY_LOCAL_MACHINE/Software/Damaged/%values";
    const std::string damaged = "\"Good\"=dword:00000001\n\"Bad\"=dword:12\n";
    std::ofstream(path, std::ios::binary) << damaged;

    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Query(key.handle, "Good", type, data), ERROR_BADDB);
    EXPECT_EQ(Set(key.handle, "New", REG_SZ, Text("x")), ERROR_BADDB);
    EXPECT_EQ(RegDeleteValue(key.handle, "Good"), ERROR_BADDB);
    EXPECT_EQ(FileText(path), damaged);
}

// Two processes set values of one key as fast as they can while a third
// reads: every read finds a whole file, and no write is lost to the other's.
TEST_F(RegistryStore, ConcurrentWritersNeitherTearNorLoseValues) {
    MakeKey("Software\\Contended");
    constexpr int Rounds = 150;
    auto writer = [](char tag) {
        HKEY key = 0;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Contended", 0, KEY_ALL_ACCESS, &key) !=
            ERROR_SUCCESS)
            ::_exit(2);
        for (int i = 0; i < Rounds; ++i) {
            std::string name = std::string(1, tag) + std::to_string(i % 10);
            Bytes data = Text(std::string(200 + i, tag));
            if (Set(key, name.c_str(), REG_SZ, data) != ERROR_SUCCESS) ::_exit(3);
        }
        ::_exit(0);
    };
    pid_t a = ::fork();
    if (a == 0) writer('a');
    pid_t b = ::fork();
    if (b == 0) writer('b');

    Key key;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Contended", 0, KEY_READ, &key.handle),
              ERROR_SUCCESS);
    int torn = 0;
    int reads = 0;
    for (int exited = 0; exited < 2;) {
        for (const char* name : {"a3", "b7"}) {
            DWORD type = 0;
            Bytes data;
            LSTATUS status = Query(key.handle, name, type, data);
            if (status == ERROR_FILE_NOT_FOUND) continue;
            ++reads;
            // Whole: one letter repeated, then the zero.
            bool whole = status == ERROR_SUCCESS && data.size() >= 201 && data.back() == 0 &&
                         std::all_of(data.begin(), data.end() - 1,
                                     [&](BYTE c) { return c == static_cast<BYTE>(name[0]); });
            torn += !whole;
        }
        int status = 0;
        while (::waitpid(-1, &status, WNOHANG) > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            ++exited;
        }
    }
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    for (char tag : {'a', 'b'})
        for (int i = 0; i < 10; ++i) {
            std::string name = std::string(1, tag) + std::to_string(i);
            DWORD type = 0;
            Bytes data;
            ASSERT_EQ(Query(key.handle, name.c_str(), type, data), ERROR_SUCCESS) << name;
            // The last round that wrote this name: 140 + i.
            EXPECT_EQ(data, Text(std::string(200 + Rounds - 10 + i, tag))) << name;
        }
}
