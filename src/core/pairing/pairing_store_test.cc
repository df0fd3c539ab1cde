#include "core/pairing/pairing_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "shared/file_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// A private HOME and XDG_DATA_HOME per test, so nothing can reach the real
// storage folder, and the devices file inside that storage folder.
class PairingStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pairing-store-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "home");
    setenv("HOME", (root_ / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "home/.local/share").c_str(), 1);
    storage_ = root_ / "home/.local/share/Tallowick";
    path_ = (storage_ / "devices.json").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  void writeDevicesFile(const std::string& text) {
    fs::create_directories(storage_);
    ASSERT_TRUE(writeFileAtomically(path_, text));
  }
  std::string devicesFile() { return readWholeFile(path_).value_or("<missing>"); }

  fs::path root_;
  fs::path storage_;
  std::string path_;
};

const std::string kKeyA = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
const std::string kKeyB = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=";  // bytes 32..63

Bytes bytesFrom(int first) {
  Bytes b;
  for (int i = 0; i < 32; ++i) b.push_back(static_cast<std::uint8_t>(first + i));
  return b;
}

Date at(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} +
         seconds{second};
}

std::string deviceJson(const std::string& id, const std::string& name, const std::string& key,
                       const std::string& pairedAt = "2026-03-01T08:30:00Z") {
  return R"({"deviceID":")" + id + R"(","key":")" + key + R"(","name":")" + name +
         R"(","pairedAt":")" + pairedAt + R"("})";
}

// Offers in a known sequence: "dev-000000000000000N" with key bytes N*32...
PairingStore::OfferSource scriptedOffers() {
  auto n = std::make_shared<int>(0);
  return [n] {
    ++*n;
    char id[32];
    std::snprintf(id, sizeof id, "dev-%016x", *n);
    return PairingStore::Offer{.id = id, .key = bytesFrom(*n * 32)};
  };
}

TEST_F(PairingStoreTest, StartsEmptyWithAFreshOfferAndWritesNothing) {
  PairingStore store(path_);
  EXPECT_TRUE(store.devices().empty());
  EXPECT_TRUE(std::regex_match(store.offer().id, std::regex("dev-[0-9a-f]{16}")))
      << store.offer().id;
  EXPECT_EQ(store.offer().key.size(), 32u);
  EXPECT_FALSE(fs::exists(storage_));

  // Each start makes a new offer.
  PairingStore again(path_);
  EXPECT_NE(again.offer().id, store.offer().id);
  EXPECT_NE(again.offer().key, store.offer().key);
}

TEST_F(PairingStoreTest, LoadsDevicesInFileOrderIgnoringUnknownMembers) {
  writeDevicesFile(
      "[\n" + deviceJson("dev-bbbbbbbbbbbbbbbb", "Pixel", kKeyB) + ",\n" +
      R"({"colour":"red","deviceID":"dev-aaaaaaaaaaaaaaaa","key":")" + kKeyA +
      R"(","name":"Ana's phone","pairedAt":"2025-12-31T23:59:59Z","extra":{"x":[1]}})" + "\n]");
  PairingStore store(path_);
  ASSERT_EQ(store.devices().size(), 2u);
  EXPECT_EQ(store.devices()[0], (PairingStore::Device{"dev-bbbbbbbbbbbbbbbb", "Pixel",
                                                      bytesFrom(32), at(2026, 3, 1, 8, 30, 0)}));
  EXPECT_EQ(store.devices()[1], (PairingStore::Device{"dev-aaaaaaaaaaaaaaaa", "Ana's phone",
                                                      bytesFrom(0), at(2025, 12, 31, 23, 59, 59)}));
}

TEST_F(PairingStoreTest, ABadFileLoadsAsEmptyAndStaysUntilTheNextSave) {
  const std::string good = deviceJson("dev-aaaaaaaaaaaaaaaa", "A", kKeyA);
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"whitespace", " \n"},
      {"truncated", "[" + good.substr(0, good.size() - 5)},
      {"unclosed array", "[" + good},
      {"object instead of array", good},
      {"null", "null"},
      {"array of strings", R"(["dev-aaaaaaaaaaaaaaaa"])"},
      {"missing pairedAt",
       R"([{"deviceID":"dev-aaaaaaaaaaaaaaaa","key":")" + kKeyA + R"(","name":"A"}])"},
      {"missing key",
       R"([{"deviceID":"dev-aaaaaaaaaaaaaaaa","name":"A","pairedAt":"2026-03-01T08:30:00Z"}])"},
      {"deviceID is a number",
       R"([{"deviceID":7,"key":")" + kKeyA + R"(","name":"A","pairedAt":"2026-03-01T08:30:00Z"}])"},
      {"name is null", R"([{"deviceID":"dev-a","key":")" + kKeyA +
                           R"(","name":null,"pairedAt":"2026-03-01T08:30:00Z"}])"},
      {"pairedAt is a number",
       R"([{"deviceID":"dev-a","key":")" + kKeyA + R"(","name":"A","pairedAt":1767225600}])"},
      {"pairedAt not ISO 8601", "[" + deviceJson("dev-a", "A", kKeyA, "2026-03-01 08:30:00") + "]"},
      {"key not Base64", "[" + deviceJson("dev-a", "A", "not base64!") + "]"},
      {"key of 31 bytes",
       "[" + deviceJson("dev-a", "A", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg==") + "]"},
      {"key of 33 bytes",
       "[" + deviceJson("dev-a", "A", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g") + "]"},
      {"empty key", "[" + deviceJson("dev-a", "A", "") + "]"},
      {"one good one bad", "[" + good + R"(,{"deviceID":"dev-b"}])"},
      {"invalid UTF-8", "[" + deviceJson("dev-a", "\xff\xfe", kKeyA) + "]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeDevicesFile(c.text);
    PairingStore store(path_);
    EXPECT_TRUE(store.devices().empty());
    EXPECT_FALSE(store.key("dev-aaaaaaaaaaaaaaaa").has_value());
    EXPECT_EQ(devicesFile(), c.text);  // left alone until a save
  }
}

TEST_F(PairingStoreTest, ADirectoryInPlaceOfTheFileLoadsAsEmpty) {
  fs::create_directories(path_);
  PairingStore store(path_);
  EXPECT_TRUE(store.devices().empty());
}

TEST_F(PairingStoreTest, CompletingTheOfferPairsANewDeviceAndSavesIt) {
  PairingStore store(path_, scriptedOffers());
  const PairingStore::Offer first = store.offer();
  const Date now = at(2026, 3, 1, 8, 30, 0);

  std::optional<PairingStore::Device> paired = store.complete(first.id, "Ana's phone", now);
  ASSERT_TRUE(paired.has_value());
  EXPECT_EQ(*paired, (PairingStore::Device{first.id, "Ana's phone", first.key, now}));
  EXPECT_EQ(store.devices(), std::vector<PairingStore::Device>{*paired});

  // The offer is spent: a new id and key take its place; the old id now
  // resolves to the device, whose key is the old offer key.
  EXPECT_NE(store.offer().id, first.id);
  EXPECT_NE(store.offer().key, first.key);
  EXPECT_EQ(store.key(first.id), first.key);
  EXPECT_EQ(store.key(store.offer().id), store.offer().key);
  EXPECT_FALSE(store.complete(first.id, "Ana's phone", now).has_value());
  EXPECT_EQ(store.devices().size(), 1u);

  EXPECT_EQ(devicesFile(),
            "[\n"
            "  {\n"
            "    \"deviceID\": \"dev-0000000000000001\",\n"
            "    \"key\": \"ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=\",\n"
            "    \"name\": \"Ana's phone\",\n"
            "    \"pairedAt\": \"2026-03-01T08:30:00Z\"\n"
            "  }\n"
            "]\n");
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A second pairing is appended after the first; a later start sees both.
  const PairingStore::Offer second = store.offer();
  ASSERT_TRUE(store.complete(second.id, "Tablet", now + 90s).has_value());
  PairingStore reloaded(path_);
  EXPECT_EQ(reloaded.devices(), store.devices());
  EXPECT_EQ(reloaded.devices()[1].deviceID, second.id);
  EXPECT_NE(reloaded.offer().id, store.offer().id);
}

TEST_F(PairingStoreTest, CompletingAKnownDeviceOnlyRenamesIt) {
  writeDevicesFile("[" + deviceJson("dev-aaaaaaaaaaaaaaaa", "Old", kKeyA) + "," +
                   deviceJson("dev-bbbbbbbbbbbbbbbb", "Other", kKeyB) + "]");
  PairingStore store(path_);
  const PairingStore::Offer offer = store.offer();
  const Date now = at(2026, 4, 1, 0, 0, 0);

  // Same name: nothing to write (shown by removing the file first).
  fs::remove(path_);
  EXPECT_FALSE(store.complete("dev-aaaaaaaaaaaaaaaa", "Old", now).has_value());
  EXPECT_FALSE(fs::exists(path_));

  // Unknown identity, or one differing only in case: no change, no write.
  for (const char* identity : {"dev-cccccccccccccccc", "DEV-AAAAAAAAAAAAAAAA", ""}) {
    EXPECT_FALSE(store.complete(identity, "Intruder", now).has_value()) << identity;
  }
  EXPECT_FALSE(fs::exists(path_));

  // New name: renamed in place, saved, still not a new pairing.
  EXPECT_FALSE(store.complete("dev-aaaaaaaaaaaaaaaa", "New", now).has_value());
  ASSERT_EQ(store.devices().size(), 2u);
  EXPECT_EQ(store.devices()[0], (PairingStore::Device{"dev-aaaaaaaaaaaaaaaa", "New", bytesFrom(0),
                                                      at(2026, 3, 1, 8, 30, 0)}));
  EXPECT_EQ(store.devices()[1].name, "Other");
  EXPECT_EQ(store.offer(), offer);
  EXPECT_EQ(PairingStore(path_).devices(), store.devices());
}

TEST_F(PairingStoreTest, KeyLookupPrefersTheOfferThenTheFirstDevice) {
  // The first scripted offer id, also held by a stored device (possible when a
  // file is restored by hand); the second device repeats the first's ID.
  writeDevicesFile("[" + deviceJson("dev-0000000000000001", "Stale", kKeyA) + "," +
                   deviceJson("dev-aaaaaaaaaaaaaaaa", "First", kKeyA) + "," +
                   deviceJson("dev-aaaaaaaaaaaaaaaa", "Second", kKeyB) + "]");
  PairingStore store(path_, scriptedOffers());
  ASSERT_EQ(store.offer().id, "dev-0000000000000001");

  EXPECT_EQ(store.key("dev-0000000000000001"), store.offer().key);
  EXPECT_EQ(store.key("dev-aaaaaaaaaaaaaaaa"), bytesFrom(0));
  EXPECT_EQ(store.device("dev-aaaaaaaaaaaaaaaa")->name, "First");
  EXPECT_FALSE(store.key("dev-AAAAAAAAAAAAAAAA").has_value());
  EXPECT_FALSE(store.key("").has_value());
  EXPECT_FALSE(store.key("tallowick").has_value());
  EXPECT_FALSE(store.device("dev-cccccccccccccccc").has_value());
  // device(id:) looks at devices only, never at the offer.
  EXPECT_EQ(store.device("dev-0000000000000001")->name, "Stale");
}

TEST_F(PairingStoreTest, PayloadCarriesTheCurrentOffer) {
  PairingStore store(path_, scriptedOffers());
  PairingPayload before = store.payload("Ana's laptop");
  EXPECT_EQ(before.v, 1);
  EXPECT_EQ(before.name, "Ana's laptop");
  EXPECT_EQ(before.svc, "_tallowick._tcp");
  EXPECT_EQ(before.id, "dev-0000000000000001");
  EXPECT_EQ(before.psk, kKeyB);
  EXPECT_EQ(before.keyData(), store.offer().key);

  // What a phone reads from the QR code is what the listener will accept.
  auto scanned = PairingPayload::parse(before.jsonString());
  ASSERT_TRUE(scanned.has_value());
  EXPECT_EQ(store.key(scanned->id), scanned->keyData());

  // After a pairing the payload moves on to the new offer.
  store.complete(before.id, "Phone", at(2026, 1, 1, 0, 0, 0));
  PairingPayload after = store.payload("Ana's laptop");
  EXPECT_EQ(after.id, "dev-0000000000000002");
  EXPECT_EQ(after.keyData(), store.offer().key);
  EXPECT_NE(after.psk, before.psk);
}

TEST_F(PairingStoreTest, ForgetRemovesEveryMatchAndAlwaysSaves) {
  writeDevicesFile("[" + deviceJson("dev-aaaaaaaaaaaaaaaa", "A1", kKeyA) + "," +
                   deviceJson("dev-bbbbbbbbbbbbbbbb", "B", kKeyB) + "," +
                   deviceJson("dev-aaaaaaaaaaaaaaaa", "A2", kKeyB) + "," +
                   deviceJson("dev-cccccccccccccccc", "C", kKeyA) + "]");
  PairingStore store(path_);
  store.forget("dev-aaaaaaaaaaaaaaaa");
  ASSERT_EQ(store.devices().size(), 2u);
  EXPECT_EQ(store.devices()[0].name, "B");
  EXPECT_EQ(store.devices()[1].name, "C");
  EXPECT_FALSE(store.key("dev-aaaaaaaaaaaaaaaa").has_value());
  EXPECT_EQ(PairingStore(path_).devices(), store.devices());

  // Forgetting an unknown ID still rewrites the file, here replacing a
  // malformed one with the list in memory.
  writeDevicesFile("{not json");
  store.forget("dev-dddddddddddddddd");
  EXPECT_EQ(store.devices().size(), 2u);
  EXPECT_EQ(PairingStore(path_).devices(), store.devices());

  // With nothing left the file holds an empty array.
  store.forget("dev-bbbbbbbbbbbbbbbb");
  store.forget("dev-cccccccccccccccc");
  EXPECT_EQ(devicesFile(), "[]\n");
}

TEST_F(PairingStoreTest, SaveMakesMissingFoldersAndKeepsKeysPrivate) {
  // A file left readable by others (for example by an older version) is
  // replaced by a private one.
  writeDevicesFile("[" + deviceJson("dev-aaaaaaaaaaaaaaaa", "A", kKeyA) + "]");
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  PairingStore store(path_);
  store.save();
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // No temporary files are left beside it.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(storage_)) entries += e.path() != path_;
  EXPECT_EQ(entries, 0);

  const std::string nested = (root_ / "a/b/c/devices.json").string();
  PairingStore deep(nested);
  deep.complete(deep.offer().id, "Phone", at(2026, 1, 1, 0, 0, 0));
  EXPECT_EQ(PairingStore(nested).devices(), deep.devices());
}

TEST_F(PairingStoreTest, AFailedSaveIsAbsorbedAndMemoryStaysAuthoritative) {
  // The folder that should hold the file is a regular file: nothing can be
  // written, and nothing is thrown.
  fs::create_directories(root_);
  ASSERT_TRUE(writeFileAtomically((root_ / "blocker").string(), "x"));
  const std::string path = (root_ / "blocker/devices.json").string();
  PairingStore store(path);
  const std::string offerID = store.offer().id;
  auto paired = store.complete(offerID, "Phone", at(2026, 1, 1, 0, 0, 0));
  ASSERT_TRUE(paired.has_value());
  EXPECT_EQ(store.devices().size(), 1u);
  EXPECT_EQ(store.key(offerID), paired->key);
  store.forget("dev-cccccccccccccccc");
  EXPECT_EQ(store.devices().size(), 1u);
  EXPECT_EQ(readWholeFile((root_ / "blocker").string()), "x");
}

}  // namespace
}  // namespace tallowick
