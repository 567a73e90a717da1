#include "wallet/walletdb.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>

#include "core/clock.h"
#include "core/fsutil.h"
#include "core/hex.h"
#include "core/json_text.h"
#include "core/paths.h"
#include "core/seed.h"
#include "core/text.h"

namespace walletdb {

namespace {

constexpr std::string_view kTag = "quvw1";
constexpr std::string_view kAd = "quv-wallet";
constexpr size_t kSaltBytes = 16;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kMacBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr unsigned long long kArgonOps = 2;
constexpr size_t kArgonMem = size_t{64} << 20;
constexpr mode_t kWalletMode = 0600;

std::unexpected<QuvError> fail_with(std::string_view text) { return fail(std::string(text)); }

// An environment variable that is set and valid UTF-8.
std::optional<std::string> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || !text::is_utf8(std::string_view(v))) return std::nullopt;
  return std::string(v);
}

bool regular_file_at(const std::filesystem::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace {

// Argon2id of the passphrase bytes and the salt; false when the library fails.
bool derive_key(std::string_view passphrase, const uint8_t* salt, crypto::Secret<32>& key) {
  return crypto_pwhash_argon2id(key.data(), key.size(), passphrase.data(), passphrase.size(), salt,
                                kArgonOps, kArgonMem, crypto_pwhash_argon2id_ALG_ARGON2ID13) == 0;
}

// The book as compact JSON with sorted keys, in storage that is wiped when released.
[[nodiscard]] Result<SecretText> dump_secret(const Book& book) {
  std::vector<char, hashing::WipingAllocator<char>> out;
  out.reserve(4096);
  try {
    nlohmann::detail::serializer<nlohmann::json> s(
        nlohmann::detail::output_adapter<char, SecretText>(out), ' ',
        nlohmann::json::error_handler_t::strict);
    s.dump(book, false, false, 0);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(QuvError::json(e.what()));
  }
  return SecretText(out.begin(), out.end());
}

std::unexpected<QuvError> os_fail(int err) { return fail(error::os_text(err)); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Location and file

std::filesystem::path wallet_path() {
  if (auto v = env_text("QUV_WALLET_PATH"); v && !v->empty()) return *v;
  std::string home = env_text("HOME").value_or(".");
  std::filesystem::path def = std::filesystem::path(home) / ".quv" / "quv.wallet";
  if (regular_file_at(def)) return def;
  for (const std::filesystem::path& p :
       {std::filesystem::path(kHomeFallback), std::filesystem::path(kWwwFallback),
        cli::with_extension(cli::chain_path().string(), "wallet")}) {
    if (regular_file_at(p)) return p;
  }
  return def;
}

bool exists() { return regular_file_at(wallet_path()); }

namespace {

// The file a save replaces: the one a symbolic link at `target` names, else `target`.
// Replacing the link itself would move the wallet away from where the link points.
std::filesystem::path replaced_path(const std::filesystem::path& target) {
  std::error_code ec;
  if (std::filesystem::is_symlink(target, ec)) {
    std::filesystem::path resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec) return resolved;
  }
  return target;
}

// True when the descriptor and the path name one file.
bool same_file(int fd, const std::filesystem::path& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// A step between the flushed new file (its temporary path) and its rename over the file.
using BeforeRename =
    std::function<Status(const std::filesystem::path& tmp, const std::filesystem::path& file)>;

Status replace_file(const std::filesystem::path& target, ByteView data, mode_t mode,
                    const BeforeRename& before_rename) {
  std::filesystem::path path = replaced_path(target);
  auto prepared = fsutil::prepare_atomic(path, data, mode);
  if (!prepared) return std::unexpected(prepared.error());
  if (before_rename) {
    if (Status s = before_rename(prepared->temp_path(), path); !s) return s;
  }
  if (Status s = prepared->commit(); !s) return s;
  // Without this flush a power cut could lose the rename and bring back the old file
  // after the caller was told the new one is safe.
  fsutil::sync_dir(path.parent_path());
  // Writers killed half way leave their temporary files; once their process is gone,
  // nobody else will finish or remove them.
  fsutil::remove_orphans(path, ".tmp-");
  return {};
}

// The book sealed under the passphrase, as the file's text.
Result<std::string> seal_book(const Book& book, std::string_view passphrase) {
  Result<SecretText> plain = dump_secret(book);
  if (!plain) return std::unexpected(plain.error());
  return encrypt(bytes::of(std::string_view(*plain)), passphrase);
}

// Opens `path` read-only into `out` and takes its exclusive lock without waiting: 0, or
// the errno of the failure (EWOULDBLOCK when another process holds the lock).
int open_locked(const std::filesystem::path& path, fsutil::Fd& out) {
  int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) return errno;
  fsutil::Fd fd(raw);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return errno;
  }
  out = std::move(fd);
  return 0;
}

}  // namespace

Status write_file_atomic(const std::filesystem::path& target, ByteView data, mode_t mode) {
  return replace_file(target, data, mode, nullptr);
}

Result<std::filesystem::path> keep_backup(const std::filesystem::path& path, uint64_t unix_time) {
  Result<Bytes> old = fsutil::read_file(path);
  if (!old) return std::unexpected(old.error());
  const std::string base = path.string() + ".bak-" + std::to_string(unix_time);
  // Bounded: each taken name is a backup made within the same second.
  constexpr int kAttempts = 1000;
  for (int n = 0; n < kAttempts; ++n) {
    std::filesystem::path backup = n == 0 ? base : base + "-" + std::to_string(n);
    int raw =
        ::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kWalletMode);
    if (raw < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      return os_fail(errno);
    }
    fsutil::Fd fd(raw);
    int err = fsutil::write_all(fd.get(), *old);
    if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
    if (err == 0 && fd.close() != 0 && errno != EINTR) err = errno;
    if (err != 0) {
      ::unlink(backup.c_str());
      return os_fail(err);
    }
    return backup;
  }
  return os_fail(EEXIST);
}

Result<std::string> encrypt(ByteView plaintext, std::string_view passphrase) {
  if (passphrase.size() < 8) return fail_with(kShortPassphrase);
  std::array<uint8_t, kSaltBytes> salt;
  randombytes_buf(salt.data(), salt.size());
  crypto::Secret<32> key;
  if (!derive_key(passphrase, salt.data(), key)) return fail_with(kArgonFailed);
  Bytes sealed(kNonceBytes + plaintext.size() + kMacBytes);
  randombytes_buf(sealed.data(), kNonceBytes);
  unsigned long long sealed_len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt(
          sealed.data() + kNonceBytes, &sealed_len, plaintext.data(), plaintext.size(),
          reinterpret_cast<const uint8_t*>(kAd.data()), kAd.size(), nullptr, sealed.data(),
          key.data()) != 0) {
    die("xchacha20poly1305");
  }
  sealed.resize(kNonceBytes + sealed_len);
  std::string out;
  out.reserve(kTag.size() + 2 + 2 * kSaltBytes + 2 * sealed.size());
  out.append(kTag).append(".").append(hex::encode(salt)).append(".").append(hex::encode(sealed));
  return out;
}

Result<SecretText> decrypt(std::string_view file_text, std::string_view passphrase) {
  std::string_view t = text::trim(file_text);
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    size_t dot = t.find('.', start);
    fields.push_back(t.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (fields.size() != 3 || fields[0] != kTag) return fail_with(kInvalidFile);
  std::optional<Bytes> salt = hex::decode(fields[1]);
  std::optional<Bytes> sealed = hex::decode(fields[2]);
  if (!salt || !sealed || salt->size() != kSaltBytes || sealed->size() < kNonceBytes + 1) {
    return fail_with(kInvalidFile);
  }
  crypto::Secret<32> key;
  if (!derive_key(passphrase, salt->data(), key)) return fail_with(kArgonFailed);
  const size_t body = sealed->size() - kNonceBytes;
  if (body < kMacBytes) return fail_with(kWrongPassphrase);
  SecretText plain(body - kMacBytes, '\0');
  unsigned long long plain_len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<uint8_t*>(plain.data()),
                                                 &plain_len, nullptr, sealed->data() + kNonceBytes,
                                                 body, reinterpret_cast<const uint8_t*>(kAd.data()),
                                                 kAd.size(), sealed->data(), key.data()) != 0) {
    return fail_with(kWrongPassphrase);
  }
  plain.resize(plain_len);
  if (!text::is_utf8(std::string_view(plain.data(), plain.size()))) return fail_with(kCorrupted);
  return plain;
}

Result<std::filesystem::path> persist(const Book& book, std::string_view passphrase) {
  Result<std::string> sealed = seal_book(book, passphrase);
  if (!sealed) return std::unexpected(sealed.error());
  std::filesystem::path path = wallet_path();
  // A directory that cannot be made shows up as the write's own error.
  if (path.has_parent_path()) (void)fsutil::create_dirs(path.parent_path());
  if (Status s = write_file_atomic(path, bytes::of(*sealed), kWalletMode); !s) {
    return std::unexpected(s.error());
  }
  return path;
}

Result<WalletLock> lock_wallet(const std::filesystem::path& path) {
  WalletLock lock;
  lock.path_ = path;
  const std::filesystem::path file = replaced_path(path);
  // Bounded: each retry means that another process replaced the file meanwhile.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int raw = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    // No file yet: the first save takes the lock. A file this process cannot open cannot
    // be loaded either, and loading says why.
    if (raw < 0) return lock;
    fsutil::Fd fd(raw);
    int err = 0;
    do {
      err = ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    } while (err == EINTR);
    if (err == EWOULDBLOCK) return fail_with(kInUse);
    if (err != 0) return os_fail(err);
    // A save by another process may have put a new file in place between the open and
    // the lock; the lock would then hold a file that is no longer the wallet.
    if (same_file(fd.get(), file)) {
      lock.fd_ = std::move(fd);
      return lock;
    }
  }
  return fail_with(kInUse);
}

Result<std::filesystem::path> persist(const Book& book, std::string_view passphrase,
                                      WalletLock& lock) {
  Result<std::string> sealed = seal_book(book, passphrase);
  if (!sealed) return std::unexpected(sealed.error());
  const std::filesystem::path& path = lock.path_;
  if (path.has_parent_path()) (void)fsutil::create_dirs(path.parent_path());
  fsutil::Fd next;
  auto take_over = [&](const std::filesystem::path& tmp,
                       const std::filesystem::path& file) -> Status {
    if (int err = open_locked(tmp, next)) return os_fail(err);
    // A file that another process put in place since would lose its book to ours; one
    // that was removed meanwhile loses nothing.
    std::error_code ec;
    const bool ours =
        (lock.fd_.valid() && same_file(lock.fd_.get(), file)) || !std::filesystem::exists(file, ec);
    if (!ours) return fail_with(kInUse);
    return {};
  };
  if (Status s = replace_file(path, bytes::of(*sealed), kWalletMode, take_over); !s) {
    return std::unexpected(s.error());
  }
  lock.fd_ = std::move(next);
  return path;
}

Result<Book> load_book(std::string_view passphrase) {
  Result<Bytes> raw = fsutil::read_file(wallet_path());
  if (!raw || !text::is_utf8(ByteView(*raw))) return fail_with(kNoFile);
  std::string_view file_text(reinterpret_cast<const char*>(raw->data()), raw->size());
  Result<SecretText> plain = decrypt(file_text, passphrase);
  if (!plain) return std::unexpected(plain.error());
  std::optional<Book> parsed = jtext::parse(std::string_view(plain->data(), plain->size()));
  if (!parsed) return fail_with(kCorrupted);
  Book book = std::move(*parsed);
  if (!book.is_object() || !as_string(member(book, "mnemonic"))) return fail_with(kNoSeed);
  return book;
}

// ---------------------------------------------------------------------------------------
// Lenient readers

// ---------------------------------------------------------------------------------------
// Book

namespace {

Book address_entry(uint64_t index, const std::string& address, std::string label) {
  return Book{
      {"index", index}, {"address", address}, {"created", sysclock::unix_now()}, {"label", label}};
}

}  // namespace

Book blank(std::string_view mnemonic) {
  WalletKeys keys = WalletKeys::from_mnemonic(mnemonic);
  Book book = Book::object();
  book["mnemonic"] = std::string(mnemonic);
  book["next_index"] = 1;
  book["current_index"] = 0;
  book["addresses"] = Book::array({address_entry(0, keys.address, "primary")});
  book["nfts"] = Book::array();
  book["sends"] = Book::object();
  book["sync"] =
      Book{{"height", -1}, {"tip", ""}, {"notes", Book::array()}, {"history", Book::array()}};
  return book;
}

std::string recv_address(const Book& book) {
  const nlohmann::json* addrs = member(book, "addresses");
  if (addrs == nullptr || !addrs->is_array() || addrs->empty()) return "";
  if (std::optional<uint64_t> cur = as_u64(member(book, "current_index"))) {
    for (const nlohmann::json& e : *addrs) {
      if (as_u64(member(e, "index")) == cur) {
        if (auto a = as_string(member(e, "address"))) return *a;
        break;
      }
    }
  }
  return as_string(member(addrs->back(), "address")).value_or("");
}

Result<std::pair<uint64_t, std::string>> rotate(Book& book) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return fail_with(kNoSeed);
  uint64_t n = as_u64(member(book, "next_index")).value_or(1);
  WalletKeys keys = WalletKeys::from_mnemonic_index(*mnemonic, n);
  crypto::wipe(mnemonic->data(), mnemonic->size());
  // A rotated address is always "recv-", also should next_index read 0.
  Book entry = address_entry(n, keys.address, "recv-" + std::to_string(n));
  if (nlohmann::json* addrs = book.contains("addresses") ? &book["addresses"] : nullptr;
      addrs != nullptr && addrs->is_array()) {
    addrs->push_back(std::move(entry));
  } else {
    book["addresses"] = Book::array({std::move(entry)});
  }
  book["next_index"] = n + 1;
  book["current_index"] = n;
  return std::pair{n, keys.address};
}

void remember_send(Book& book, std::string_view txid, int64_t amount, std::string_view memo,
                   std::string_view to) {
  if (!book.contains("sends") || !book["sends"].is_object()) book["sends"] = Book::object();
  book["sends"][std::string(txid)] = Book{{"amount", amount},
                                          {"memo", std::string(memo)},
                                          {"to", std::string(to)},
                                          {"ts", sysclock::unix_now()}};
}

std::map<std::string, chain::SendHint> send_hints(const Book& book) {
  std::map<std::string, chain::SendHint> out;
  const nlohmann::json* sends = member(book, "sends");
  if (sends == nullptr || !sends->is_object()) return out;
  for (auto it = sends->begin(); it != sends->end(); ++it) {
    if (!it->is_object()) continue;
    out[it.key()] = chain::SendHint{as_string(member(*it, "memo")).value_or(""),
                                    as_string(member(*it, "to")).value_or(""),
                                    as_i64(member(*it, "ts")).value_or(0)};
  }
  return out;
}

Result<std::pair<std::string, std::vector<std::string>>> mnemonic_words(const Book& book) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return fail_with(kNoSeed);
  std::optional<std::vector<std::string>> words = seed::parse(*mnemonic);
  if (!words) return fail_with(kBadSeed);
  return std::pair{std::move(*mnemonic), std::move(*words)};
}

std::vector<WalletKeys> wallets_from_book(const Book& book) {
  std::optional<std::string> mnemonic = as_string(member(book, "mnemonic"));
  if (!mnemonic) return {};
  crypto::MasterKey master = crypto::derive_master_key(*mnemonic);
  crypto::wipe(mnemonic->data(), mnemonic->size());
  return wallets_from_master(book, master);
}

std::vector<WalletKeys> wallets_from_master(const Book& book, const crypto::MasterKey& master) {
  std::vector<WalletKeys> out;
  const nlohmann::json* mnemonic = member(book, "mnemonic");
  if (mnemonic == nullptr || !mnemonic->is_string()) return out;
  std::set<uint64_t> indices{0};
  if (const nlohmann::json* addrs = member(book, "addresses"); addrs && addrs->is_array()) {
    for (const nlohmann::json& e : *addrs) {
      if (auto i = as_u64(member(e, "index"))) indices.insert(*i);
    }
  }
  for (uint64_t i : indices) out.push_back(WalletKeys::from_master(master, i));
  return out;
}

}  // namespace walletdb
