// A program that opened no registry uses $KORIN_HOME/registry.db.
#include "platform/win32/registry.h"
#include "registry_fixture.h"

#include <thread>

namespace korin::registry::testing {
namespace {

TEST(DefaultRegistry, OpensTheFileInKorinHomeOnFirstUse) {
    std::string pattern = (std::filesystem::temp_directory_path() / "korin-home-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    std::string home = pattern + "/not/yet/made";
    const char* previous = std::getenv("KORIN_HOME");
    std::string saved = previous ? previous : "";
    setenv("KORIN_HOME", home.c_str(), 1);
    CloseDatabase();
    EXPECT_EQ(DefaultDatabasePath(), home + "/registry.db");
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Korin", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(home + "/registry.db"));
    CloseDatabase();
    if (previous) {
        setenv("KORIN_HOME", saved.c_str(), 1);
    } else {
        unsetenv("KORIN_HOME");
    }
    std::filesystem::remove_all(pattern);
}

using Threads = RegistryTest;

// Several threads on one handle and on handles of their own.
TEST_F(Threads, WritersAndAnEnumeratorShareTheDatabase) {
    constexpr int kThreads = 4, kValues = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            KeyHandle own;
            ASSERT_EQ(OpenKey(own.out(), u"", test_), STATUS_SUCCESS);
            for (int i = 0; i < kValues; ++i) {
                std::string name = "t" + std::to_string(t) + "v" + std::to_string(i);
                ASSERT_EQ(SetDword(i % 2 ? own.h : test_.h, std::u16string(name.begin(), name.end()), i),
                          STATUS_SUCCESS);
            }
        });
    }
    std::thread enumerator([this] {
        for (int round = 0; round < 20; ++round) ValueNames(test_);
    });
    for (auto& t : threads) t.join();
    enumerator.join();
    EXPECT_EQ(ValueNames(test_).size(), static_cast<size_t>(kThreads * kValues));
}

}  // namespace
}  // namespace korin::registry::testing
