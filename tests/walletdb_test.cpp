#include "wallet/walletdb.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/hex.h"
#include "core/seed.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

using proc::ScopedEnv;
using proc::TempDir;
using walletdb::Book;

constexpr const char* kPass = "correct horse";
const bool kCryptoReady = (crypto::init(), true);

std::string test_mnemonic(uint8_t fill = 0) {
  Bytes entropy(16, fill);
  return seed::to_mnemonic(seed::from_entropy(entropy).value());
}

std::string error_of(const auto& r) { return r ? std::string("(ok)") : r.error().text(); }

void touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  ASSERT_TRUE(proc::spit(p, "x"));
}

// Points every location input at the scratch directory, so no real wallet is looked at.
struct Env {
  TempDir dir;
  ScopedEnv wallet{"QUV_WALLET_PATH", std::nullopt};
  ScopedEnv home{"HOME", (dir / "home").string()};
  ScopedEnv chain{"QUV_CHAIN_PATH", (dir / "data" / "net.chain").string()};
  ScopedEnv db{"QUV_DB_PATH", std::nullopt};
};

TEST(WalletPath, ChoosesByTheLocationRule) {
  struct Case {
    const char* name;
    std::optional<std::string> wallet_env;  // relative to the scratch dir, "" kept empty
    std::optional<std::string> home;        // relative; nullopt unsets HOME
    std::vector<std::string> files;         // regular files to create
    std::vector<std::string> dirs;          // directories to create
    std::string want;                       // relative to the scratch dir ("" = cwd rule)
  } cases[] = {
      {"env wins even without a file",
       "w/x.wallet",
       "home",
       {"home/.quv/quv.wallet"},
       {},
       "w/x.wallet"},
      {"empty env is ignored", "", "home", {"home/.quv/quv.wallet"}, {}, "home/.quv/quv.wallet"},
      {"default file exists",
       std::nullopt,
       "home",
       {"home/.quv/quv.wallet", "data/net.wallet"},
       {},
       "home/.quv/quv.wallet"},
      {"chain path with the wallet extension",
       std::nullopt,
       "home",
       {"data/net.wallet"},
       {},
       "data/net.wallet"},
      {"a directory does not count",
       std::nullopt,
       "home",
       {"data/net.wallet"},
       {"home/.quv/quv.wallet"},
       "data/net.wallet"},
      {"nothing anywhere: the default under HOME",
       std::nullopt,
       "home",
       {},
       {},
       "home/.quv/quv.wallet"},
  };
  for (const Case& c : cases) {
    Env env;
    const fs::path root = env.dir.path();
    for (const auto& f : c.files) touch(root / f);
    for (const auto& d : c.dirs) fs::create_directories(root / d);
    std::optional<ScopedEnv> w;
    if (c.wallet_env) {
      w.emplace("QUV_WALLET_PATH", c.wallet_env->empty() ? "" : (root / *c.wallet_env).string());
    }
    EXPECT_EQ(walletdb::wallet_path(), root / c.want) << c.name;
    EXPECT_EQ(walletdb::exists(), fs::is_regular_file(root / c.want)) << c.name;
  }
}

TEST(WalletPath, HomeUnsetOrEmptyAndTheDbPath) {
  Env env;
  {
    ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_EQ(walletdb::wallet_path(), fs::path("./.quv/quv.wallet"));
  }
  {
    ScopedEnv empty_home("HOME", "");
    EXPECT_EQ(walletdb::wallet_path(), fs::path(".quv/quv.wallet"));
  }
  ScopedEnv no_chain("QUV_CHAIN_PATH", std::nullopt);
  ScopedEnv db("QUV_DB_PATH", (env.dir / "db" / "quv.db").string());
  touch(env.dir / "db" / "quv.wallet");
  EXPECT_EQ(walletdb::wallet_path(), env.dir / "db" / "quv.wallet");
}

TEST(WalletFile, EncryptedTextHasItsLengthAndFreshSaltAndNonce) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{300}}) {
    std::string plain(n, 'p');
    auto a = walletdb::encrypt(bytes::of(plain), kPass);
    auto b = walletdb::encrypt(bytes::of(plain), kPass);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 6 + 32 + 1 + 2 * (24 + n + 16)) << n;
    EXPECT_EQ(std::count(a->begin(), a->end(), '.'), 2);
    EXPECT_TRUE(a->starts_with("quvw1."));
    EXPECT_NE(a->substr(6, 32), b->substr(6, 32)) << "salt reused";
    EXPECT_NE(a->substr(39, 48), b->substr(39, 48)) << "nonce reused";
    for (const std::string* t : {&*a, &*b}) {
      auto back = walletdb::decrypt(*t, kPass);
      ASSERT_TRUE(back) << error_of(back);
      EXPECT_EQ(std::string(back->begin(), back->end()), plain);
    }
  }
}

TEST(WalletFile, PassphraseLengthCountsBytes) {
  struct Case {
    std::string pass;
    bool ok;
  } cases[] = {{"", false},
               {"1234567", false},
               {"12345678", true},
               {"\u00e4\u00e4\u00e4\u00e4", true},
               {"\u00e4\u00e4\u00e4", false}};
  for (const Case& c : cases) {
    auto r = walletdb::encrypt(bytes::of("{}"), c.pass);
    EXPECT_EQ(r.has_value(), c.ok) << c.pass;
    if (!c.ok) {
      EXPECT_EQ(error_of(r), "Passphrase must be at least 8 characters.");
    }
  }
}

TEST(WalletFile, DecryptChecksEachFieldInOrder) {
  const std::string good = walletdb::encrypt(bytes::of("{\"a\":1}"), kPass).value();
  const std::string salt = good.substr(6, 32);
  const std::string sealed = good.substr(39);
  std::string upper = good;
  std::transform(upper.begin() + 6, upper.end(), upper.begin() + 6, ::toupper);
  const std::string zeros25(50, '0'), zeros39(78, '0'), zeros24(48, '0');
  struct Case {
    const char* name;
    std::string text;
    std::string pass;
    std::string want;  // "" = decrypts to {"a":1}
  } cases[] = {
      {"as written", good, kPass, ""},
      {"newline and blanks around", "  " + good + "\n", kPass, ""},
      {"upper-case hex", upper, kPass, ""},
      {"fourth field", good + ".00", kPass, "Invalid wallet file."},
      {"two fields", "quvw1." + salt, kPass, "Invalid wallet file."},
      {"other tag", "quvw2." + salt + "." + sealed, kPass, "Invalid wallet file."},
      {"odd salt", "quvw1." + salt + "0." + sealed, kPass, "Invalid wallet file."},
      {"odd sealed", "quvw1." + salt + "." + sealed + "0", kPass, "Invalid wallet file."},
      {"salt of 15 bytes", "quvw1." + salt.substr(2) + "." + sealed, kPass, "Invalid wallet file."},
      {"salt not hex", "quvw1." + std::string(32, 'g') + "." + sealed, kPass,
       "Invalid wallet file."},
      {"sealed of 24 bytes", "quvw1." + salt + "." + zeros24, kPass, "Invalid wallet file."},
      {"sealed of 25 bytes", "quvw1." + salt + "." + zeros25, kPass, "Wrong passphrase."},
      {"sealed of 39 bytes", "quvw1." + salt + "." + zeros39, kPass, "Wrong passphrase."},
      {"wrong passphrase", good, "correct horsf", "Wrong passphrase."},
      {"short passphrase is not refused here", good, "x", "Wrong passphrase."},
      {"flipped ciphertext byte",
       good.substr(0, good.size() - 1) + (good.back() == '0' ? "1" : "0"), kPass,
       "Wrong passphrase."},
  };
  for (const Case& c : cases) {
    auto r = walletdb::decrypt(c.text, c.pass);
    if (c.want.empty()) {
      ASSERT_TRUE(r) << c.name << ": " << error_of(r);
      EXPECT_EQ(std::string(r->begin(), r->end()), "{\"a\":1}") << c.name;
    } else {
      EXPECT_EQ(error_of(r), c.want) << c.name;
    }
  }
}

TEST(WalletFile, PlaintextThatIsNotUtf8IsCorrupted) {
  const uint8_t bad[] = {'{', 0xff, '}'};
  auto text = walletdb::encrypt(ByteView(bad, 3), kPass);
  ASSERT_TRUE(text);
  EXPECT_EQ(error_of(walletdb::decrypt(*text, kPass)), "Wallet corrupted.");
}

TEST(WalletFile, PersistAndLoadBook) {
  Env env;
  const fs::path path = env.dir / "deep" / "er" / "w.wallet";
  ScopedEnv w("QUV_WALLET_PATH", path.string());
  EXPECT_EQ(error_of(walletdb::load_book(kPass)), "No wallet file.");

  Book book = walletdb::blank(test_mnemonic());
  book["unknown"] = {{"kept", true}};
  book["sync"]["extra"] = 7;
  mode_t old = ::umask(0277);  // even a mask without owner write leaves 0600
  auto written = walletdb::persist(book, kPass);
  ::umask(old);
  ASSERT_TRUE(written) << error_of(written);
  EXPECT_EQ(*written, path);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  auto loaded = walletdb::load_book(kPass);
  ASSERT_TRUE(loaded) << error_of(loaded);
  EXPECT_EQ(*loaded, book);
  EXPECT_EQ(error_of(walletdb::load_book("other passphrase")), "Wrong passphrase.");
  EXPECT_EQ(error_of(walletdb::persist(book, "short")),
            "Passphrase must be at least 8 characters.");
  // Only the wallet is left in the directory: no temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

TEST(WalletFile, LoadBookRefusesWhatIsNoBook) {
  Env env;
  const fs::path path = env.dir / "w.wallet";
  ScopedEnv w("QUV_WALLET_PATH", path.string());
  struct Case {
    std::string plaintext;
    std::string want;
  } cases[] = {
      {"{\"mnemonic\":\"a b\"}", ""},
      {"{\"addresses\":[]}", "Wallet has no seed."},
      {"{\"mnemonic\":5}", "Wallet has no seed."},
      {"[\"mnemonic\"]", "Wallet has no seed."},
      {"{\"mnemonic\":", "Wallet corrupted."},
      {"not json", "Wallet corrupted."},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(proc::spit(path, walletdb::encrypt(bytes::of(c.plaintext), kPass).value()));
    auto r = walletdb::load_book(kPass);
    EXPECT_EQ(r ? std::string("") : r.error().text(), c.want) << c.plaintext;
  }
  ASSERT_TRUE(proc::spit(path, "quvw1.\xff"));
  EXPECT_EQ(error_of(walletdb::load_book(kPass)), "No wallet file.");
}

TEST(WalletFile, PersistThroughASymlinkKeepsTheLink) {
  Env env;
  const fs::path real = env.dir / "vault" / "real.wallet";
  const fs::path link = env.dir / "link.wallet";
  touch(real);
  fs::create_symlink(real, link);
  ScopedEnv w("QUV_WALLET_PATH", link.string());
  Book book = Book{{"mnemonic", "m"}};
  ASSERT_TRUE(walletdb::persist(book, kPass));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(walletdb::load_book(kPass).value(), book);
}

// A writer killed at any moment leaves a file that opens to one of the books it wrote.
TEST(WalletFile, KilledWriterLeavesAWholeWallet) {
  Env env;
  const fs::path path = env.dir / "crash" / "w.wallet";
  ScopedEnv w("QUV_WALLET_PATH", path.string());
  Book book = Book{{"mnemonic", test_mnemonic()}, {"n", -1}, {"pad", std::string(5000, 'x')}};
  ASSERT_TRUE(walletdb::persist(book, kPass));
  std::mt19937_64 rng(7);
  int64_t highest = -1;
  for (int round = 0; round < 10; ++round) {
    const int64_t base = (round + 1) * 1000;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int64_t i = base;; ++i) {
        book["n"] = i;
        if (!walletdb::persist(book, kPass)) ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 700));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed on its own";
    auto loaded = walletdb::load_book(kPass);
    ASSERT_TRUE(loaded) << "round " << round << ": " << error_of(loaded);
    int64_t n = (*loaded)["n"].get<int64_t>();
    EXPECT_TRUE(n == highest || (n >= base && n < base + 1000)) << n;
    highest = n;
    Book want = book;
    want["n"] = n;
    EXPECT_EQ(*loaded, want);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  // The temporary files of the killed writers go with the next save.
  ASSERT_TRUE(walletdb::persist(book, kPass));
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------------------------------
// Book

// Three new wallets within one second each keep the file they replace: a backup never
// replaces another file, whether an earlier backup or something else under that name.
TEST(WalletFile, BackupsNeverReplaceAFile) {
  TempDir dir;
  const fs::path wallet = dir / "quv.wallet";
  const std::string base = wallet.string() + ".bak-1765000000";
  ASSERT_TRUE(proc::spit(base + "-1", "someone else's file"));
  std::vector<std::string> made;
  for (const char* content : {"first", "second", "third"}) {
    ASSERT_TRUE(proc::spit(wallet, content));
    auto kept = walletdb::keep_backup(wallet, 1765000000);
    ASSERT_TRUE(kept) << kept.error().text();
    made.push_back(kept->string());
    EXPECT_EQ(proc::slurp(*kept), content);
    struct stat st;
    ASSERT_EQ(::stat(kept->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(made, (std::vector<std::string>{base, base + "-2", base + "-3"}));
  EXPECT_EQ(proc::slurp(base + "-1"), "someone else's file");
  EXPECT_EQ(proc::slurp(wallet), "third");
  EXPECT_FALSE(walletdb::keep_backup(dir / "missing", 1));
}

TEST(WalletBook, BlankBookByteForByte) {
  const std::string m = test_mnemonic(3);
  const int64_t before = sysclock::unix_now();
  Book b = walletdb::blank(m);
  const int64_t t = b["addresses"][0]["created"].get<int64_t>();
  EXPECT_GE(t, before);
  EXPECT_LE(t, sysclock::unix_now());
  const std::string a = WalletKeys::from_mnemonic(m).address;
  EXPECT_EQ(b.dump(), "{\"addresses\":[{\"address\":\"" + a +
                          "\",\"created\":" + std::to_string(t) +
                          ",\"index\":0,\"label\":\"primary\"}],\"current_index\":0,"
                          "\"mnemonic\":\"" +
                          m +
                          "\",\"next_index\":1,\"nfts\":[],\"sends\":{},\"sync\":{\"height\":-1,"
                          "\"history\":[],\"notes\":[],\"tip\":\"\"}}");
  EXPECT_EQ(walletdb::recv_address(b), a);
}

TEST(WalletBook, RotateTakesNextIndex) {
  const std::string m = test_mnemonic(5);
  struct Case {
    const char* name;
    Book next_index;  // null = member removed
    Book addresses;   // null = member removed
    uint64_t want_index;
    size_t want_entries;
  } cases[] = {
      {"fresh book", 1, Book::array({{{"index", 0}}}), 1, 2},
      {"missing next_index", nullptr, Book::array({{{"index", 0}}}), 1, 2},
      {"negative next_index", -4, Book::array({{{"index", 0}}}), 1, 2},
      {"fraction next_index", 2.5, Book::array({{{"index", 0}}}), 1, 2},
      {"next_index 0 is taken", 0, Book::array(), 0, 1},
      {"addresses not an array", 3, "x", 3, 1},
      {"addresses missing", 3, nullptr, 3, 1},
  };
  for (const Case& c : cases) {
    Book b = {{"mnemonic", m}, {"keep", 1}};
    if (!c.next_index.is_null()) b["next_index"] = c.next_index;
    if (!c.addresses.is_null()) b["addresses"] = c.addresses;
    auto r = walletdb::rotate(b);
    ASSERT_TRUE(r) << c.name;
    EXPECT_EQ(r->first, c.want_index) << c.name;
    EXPECT_EQ(r->second, WalletKeys::from_mnemonic_index(m, c.want_index).address) << c.name;
    ASSERT_EQ(b["addresses"].size(), c.want_entries) << c.name;
    const Book& e = b["addresses"].back();
    EXPECT_EQ(e["label"], "recv-" + std::to_string(c.want_index)) << c.name;
    EXPECT_EQ(e["index"], c.want_index) << c.name;
    EXPECT_EQ(e["address"], r->second) << c.name;
    EXPECT_EQ(b["next_index"], c.want_index + 1) << c.name;
    EXPECT_EQ(b["current_index"], c.want_index) << c.name;
    EXPECT_EQ(b["keep"], 1) << c.name;
    EXPECT_EQ(walletdb::recv_address(b), r->second) << c.name;
  }
  Book b = walletdb::blank(m);
  ASSERT_TRUE(walletdb::rotate(b));
  EXPECT_EQ(walletdb::rotate(b)->first, 2u);
  EXPECT_EQ(b["addresses"][2]["label"], "recv-2");
  EXPECT_EQ(b["next_index"], 3);
  Book no_seed = {{"mnemonic", 1}};
  EXPECT_EQ(error_of(walletdb::rotate(no_seed)), "Wallet has no seed.");
}

TEST(WalletBook, RecvAddressFallsBackToTheLastEntry) {
  struct Case {
    const char* name;
    Book book;
    std::string want;
  } cases[] = {
      {"current found",
       {{"current_index", 1},
        {"addresses",
         {{{"index", 0}, {"address", "A"}},
          {{"index", 1}, {"address", "B"}},
          {{"index", 2}, {"address", "C"}}}}},
       "B"},
      {"current missing: last",
       {{"current_index", 5},
        {"addresses", {{{"index", 0}, {"address", "A"}}, {{"index", 1}, {"address", "B"}}}}},
       "B"},
      {"first match has no address: last",
       {{"current_index", 0},
        {"addresses",
         {{{"index", 0}}, {{"index", 0}, {"address", "X"}}, {{"index", 1}, {"address", "B"}}}}},
       "B"},
      {"index as string does not match",
       {{"current_index", 0},
        {"addresses", {{{"index", "0"}, {"address", "A"}}, {{"index", 1}, {"address", "B"}}}}},
       "B"},
      {"negative current: last",
       {{"current_index", -1},
        {"addresses", {{{"index", 0}, {"address", "A"}}, {{"index", 1}, {"address", "B"}}}}},
       "B"},
      {"last without address",
       {{"current_index", 9},
        {"addresses", {{{"index", 0}, {"address", "A"}}, {{"index", 1}, {"address", 3}}}}},
       ""},
      {"empty addresses", {{"current_index", 0}, {"addresses", Book::array()}}, ""},
      {"addresses not an array", {{"current_index", 0}, {"addresses", {{"index", 0}}}}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(walletdb::recv_address(c.book), c.want) << c.name;
}

TEST(WalletBook, RememberSendAndHints) {
  Book b = {{"sends", Book::array({1, 2})}};
  walletdb::remember_send(b, "aa", 5, "first", "quv1x");
  walletdb::remember_send(b, "aa", 7, "second", "quv1y");
  walletdb::remember_send(b, "bb", 1, "", "");
  ASSERT_TRUE(b["sends"].is_object());
  EXPECT_EQ(b["sends"].size(), 2u);
  EXPECT_EQ(b["sends"]["aa"]["amount"], 7);
  EXPECT_EQ(b["sends"]["aa"]["memo"], "second");
  EXPECT_EQ(b["sends"]["aa"]["to"], "quv1y");
  EXPECT_GE(b["sends"]["aa"]["ts"].get<int64_t>(), 1700000000);

  Book h = {{"sends",
             {{"t1", {{"memo", 5}, {"ts", -7}}},
              {"t2", {{"memo", "m"}, {"to", "quv1z"}, {"ts", 18446744073709551615u}}},
              {"t3", {{"ts", 1.5}, {"amount", "x"}}},
              {"t4", "not an object"},
              {"t5", {{"ts", 9}}}}}};
  std::map<std::string, chain::SendHint> want = {
      {"t1", {"", "", -7}}, {"t2", {"m", "quv1z", 0}}, {"t3", {"", "", 0}}, {"t5", {"", "", 9}}};
  EXPECT_EQ(walletdb::send_hints(h), want);
  EXPECT_TRUE(walletdb::send_hints(Book{{"sends", Book::array()}}).empty());
}

TEST(WalletBook, MnemonicWords) {
  const std::string m = test_mnemonic(9);
  std::string shouted = m;
  std::transform(shouted.begin(), shouted.end(), shouted.begin(), ::toupper);
  auto words = walletdb::mnemonic_words(Book{{"mnemonic", "  " + shouted}});
  ASSERT_TRUE(words);
  EXPECT_EQ(words->first, "  " + shouted);
  EXPECT_EQ(seed::to_mnemonic(words->second), m);
  // Swapping the first two different words breaks the checksum for this mnemonic.
  std::vector<std::string> w = *seed::parse(test_mnemonic(1));
  std::swap(w[0], w[12]);
  EXPECT_EQ(error_of(walletdb::mnemonic_words(Book{{"mnemonic", seed::to_mnemonic(w)}})),
            "Seed in file is invalid.");
  EXPECT_EQ(error_of(walletdb::mnemonic_words(Book{{"mnemonic", nullptr}})), "Wallet has no seed.");
}

TEST(WalletBook, WalletsFromBookIndices) {
  const std::string m = test_mnemonic(4);
  const crypto::MasterKey master = crypto::derive_master_key(m);
  struct Case {
    const char* name;
    Book addresses;
    std::vector<uint64_t> want;
  } cases[] = {
      {"3, 1, 3 and \"2\"",
       Book::array({{{"index", 3}}, {{"index", 1}}, {{"index", 3}}, {{"index", "2"}}}),
       {0, 1, 3}},
      {"none", nullptr, {0}},
      {"not an array", Book{{"index", 4}}, {0}},
      {"negative and fraction skipped",
       Book::array({{{"index", -1}}, {{"index", 2.0}}, {{"x", 1}}}),
       {0}},
  };
  for (const Case& c : cases) {
    Book b = {{"mnemonic", m}};
    if (!c.addresses.is_null()) b["addresses"] = c.addresses;
    std::vector<WalletKeys> keys = walletdb::wallets_from_book(b);
    ASSERT_EQ(keys.size(), c.want.size()) << c.name;
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(keys[i].index, c.want[i]) << c.name;
      EXPECT_EQ(keys[i].address, WalletKeys::from_master(master, c.want[i]).address) << c.name;
    }
  }
  EXPECT_TRUE(walletdb::wallets_from_book(Book{{"addresses", Book::array()}}).empty());
}

}  // namespace
