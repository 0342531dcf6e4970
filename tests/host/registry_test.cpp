#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"
#include "platform/win32.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = ::testing::TempDir() + "vkcam_registry_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(file_.c_str());
    setenv("VKCAM_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override { std::remove(file_.c_str()); }

  HKEY Create(const char* path) {
    HKEY key = nullptr;
    DWORD how = 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, &how),
              ERROR_SUCCESS);
    return key;
  }
  DWORD QueryDword(HKEY key, const char* name, LONG* status) {
    DWORD v = 0, type = 0, size = sizeof(v);
    *status = RegQueryValueExA(key, name, nullptr, &type,
                               reinterpret_cast<BYTE*>(&v), &size);
    return v;
  }

  std::string file_;
};

TEST_F(RegistryTest, CreateReportsNewThenExisting) {
  HKEY key = nullptr;
  DWORD how = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\TRQ50\\setupa",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &how),
            ERROR_SUCCESS);
  EXPECT_EQ(how, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\velmoran\\trq50\\SETUPA",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &how),
            ERROR_SUCCESS);
  EXPECT_EQ(how, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
}

TEST_F(RegistryTest, OpenMissingKeyIsNotFound) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryTest, DwordStringAndBinaryRoundTripWithTheirTypes) {
  HKEY key = Create("Software\\VELMORAN\\PLV210\\dshow");
  const DWORD gain = 74;
  ASSERT_EQ(RegSetValueExA(key, "EXPTIME US", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&gain), 4),
            ERROR_SUCCESS);
  const char text[] = "Roduvuradad.ir";
  ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  const BYTE blob[3] = {0, 0xFF, 0x0A};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
  RegCloseKey(key);

  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\PLV210\\dshow",
                          0, KEY_READ, &again),
            ERROR_SUCCESS);
  LONG status = 0;
  EXPECT_EQ(QueryDword(again, "exptime us", &status), 74u);
  EXPECT_EQ(status, ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(again, "Name", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof(text));  // the terminating zero is counted
  char read_text[32] = {};
  ASSERT_EQ(RegQueryValueExA(again, "Name", nullptr, &type,
                             reinterpret_cast<BYTE*>(read_text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(read_text, text);
  BYTE read_blob[3] = {};
  size = 3;
  ASSERT_EQ(RegQueryValueExA(again, "Blob", nullptr, &type, read_blob, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(0, std::memcmp(read_blob, blob, 3));
  RegCloseKey(again);
}

TEST_F(RegistryTest, SmallBufferGetsMoreDataAndTheNeededSize) {
  HKEY key = Create("Software\\Test");
  const char text[] = "a longer text";
  RegSetValueExA(key, "t", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 sizeof(text));
  char small[4] = {'x', 'x', 'x', 'x'};
  DWORD size = sizeof(small);
  EXPECT_EQ(RegQueryValueExA(key, "t", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
  EXPECT_EQ(small[0], 'x');
  RegCloseKey(key);
}

TEST_F(RegistryTest, BadWritesAreRefusedAndLeaveTheOldValue) {
  HKEY key = Create("Software\\Test");
  const DWORD v = 5;
  RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  const BYTE two[2] = {1, 2};
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, two, 2), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "v", 0, 7 /* REG_MULTI_SZ */, two, 2),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 2),
            ERROR_INVALID_PARAMETER);
  LONG status = 0;
  EXPECT_EQ(QueryDword(key, "v", &status), 5u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeysAndClosedHandlesFail) {
  HKEY key = Create("Software\\A\\B");
  RegCloseKey(key);
  HKEY sibling = Create("Software\\A!");  // sorts between A and A\B
  RegCloseKey(sibling);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\A"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, ValuesOfADeletedKeyReportKeyDeleted) {
  HKEY key = Create("Software\\Gone");
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone");
  LONG status = 0;
  QueryDword(key, "v", &status);
  EXPECT_EQ(status, ERROR_KEY_DELETED);
  const DWORD v = 1;
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
            ERROR_KEY_DELETED);
  RegCloseKey(key);
}

TEST_F(RegistryTest, HivesAreSeparate) {
  HKEY user = Create("Software\\Shared");
  RegCloseKey(user);
  HKEY machine = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_READ,
                          &machine),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, UnreadableStoreIsReportedAndNotOverwritten) {
  {
    std::ofstream out(file_);
    out << "[HKEY_CURRENT_USER\\X]\nthis is not a value\n";
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Y", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BADDB);
  std::ifstream in(file_);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "[HKEY_CURRENT_USER\\X]");
}

TEST_F(RegistryTest, VolatileKeysLiveInThisProcessOnly) {
  HKEY stable = Create("Software\\Maker");
  RegCloseKey(stable);
  struct stat before {};
  ASSERT_EQ(stat(file_.c_str(), &before), 0);

  HKEY key = nullptr;
  DWORD how = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Maker\\Now\\Camera", 0,
                            nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &key, &how),
            ERROR_SUCCESS);
  EXPECT_EQ(how, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const char name[] = "TRQ5C";
  ASSERT_EQ(RegSetValueExA(key, "FriendlyName", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(name), sizeof(name)),
            ERROR_SUCCESS);
  // Below a volatile key only volatile keys may be created.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Lasting", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  RegCloseKey(key);

  // The file, which other processes read, was not even rewritten; this
  // process still sees the key.
  struct stat after {};
  ASSERT_EQ(stat(file_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  std::ifstream in(file_);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.find("Now"), std::string::npos);
  HKEY open = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Maker\\Now\\Camera", 0,
                          KEY_READ, &open),
            ERROR_SUCCESS);
  RegCloseKey(open);

  // Deleting it, child first, leaves the lasting parent.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Maker\\Now\\Camera"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Maker\\Now"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Maker", 0, KEY_READ, &open),
            ERROR_SUCCESS);
  RegCloseKey(open);
}

TEST_F(RegistryTest, EnumerationListsDirectChildrenInOrder) {
  for (const char* path : {"Software\\List\\b", "Software\\List\\A\\deep",
                           "Software\\List\\c", "Software\\Listing"})
    RegCloseKey(Create(path));
  HKEY list = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\List", 0, KEY_READ, &list),
            ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[16];
  DWORD length = sizeof(name);
  for (DWORD i = 0; RegEnumKeyExA(list, i, name, &length, nullptr, nullptr, nullptr,
                                  nullptr) == ERROR_SUCCESS;
       ++i, length = sizeof(name)) {
    EXPECT_EQ(length, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
  length = 1;  // no room for "A" and its zero
  EXPECT_EQ(RegEnumKeyExA(list, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  length = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(list, 3, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(list);
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNoWrite) {
  constexpr int kChildren = 4, kWrites = 20;
  for (int c = 0; c < kChildren; ++c) {
    if (fork() == 0) {
      HKEY key = nullptr;
      RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = std::to_string(c) + "-" + std::to_string(i);
        const DWORD v = static_cast<DWORD>(i);
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&v), 4);
      }
      _exit(0);
    }
  }
  for (int c = 0; c < kChildren; ++c) wait(nullptr);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kWrites; ++i) {
      LONG status = 0;
      const std::string name = std::to_string(c) + "-" + std::to_string(i);
      EXPECT_EQ(QueryDword(key, name.c_str(), &status), static_cast<DWORD>(i));
      EXPECT_EQ(status, ERROR_SUCCESS) << name;
    }
  }
  RegCloseKey(key);
}

TEST(RegistryText, SerializedTreeParsesBackExactly) {
  vk::host::RegistryTree tree;
  auto& key = tree["hkey_current_user\\software\\a b"];
  key.path = "HKEY_CURRENT_USER\\Software\\A B";
  key.values["x%\"]"] = {"X%\"]", REG_BINARY, {0, 1, 0xFE}};
  key.values[""] = {"", REG_SZ, {'h', 'i', 0}};
  const auto back = vk::host::ParseRegistry(vk::host::SerializeRegistry(tree));
  ASSERT_TRUE(back);
  const auto& k = back->at("hkey_current_user\\software\\a b");
  EXPECT_EQ(k.path, key.path);
  EXPECT_EQ(k.values.at("x%\"]").name, "X%\"]");
  EXPECT_EQ(k.values.at("x%\"]").data, (std::vector<uint8_t>{0, 1, 0xFE}));
  EXPECT_EQ(k.values.at("").type, REG_SZ);
}

TEST(RegistryText, MalformedLinesAreRejected) {
  EXPECT_FALSE(vk::host::ParseRegistry("\"v\"=4:00000000\n"));  // no key
  EXPECT_FALSE(vk::host::ParseRegistry("[K]\n\"v\"=4:0g\n"));
  EXPECT_FALSE(vk::host::ParseRegistry("[K]\n\"v\"=x:00\n"));
  EXPECT_FALSE(vk::host::ParseRegistry("[K%4]\n"));
  EXPECT_TRUE(vk::host::ParseRegistry("; comment\n\n[K]\n\"v\"=3:\n"));
}

}  // namespace
