// The wallet file and its book. The file is one line of text: the book's JSON sealed under a
// key that Argon2id derives from the passphrase. The book is a generic JSON object holding
// the mnemonic, the receive addresses, remembered sends and the sync cache; its readers are
// lenient and members nobody knows survive a save. The wallet screens and the light client
// call in here on their one thread; nothing here keeps state between calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/crypto.h"
#include "core/error.h"
#include "core/fsutil.h"
#include "core/json_text.h"
#include "wallet/light_types.h"

namespace walletdb {

// The book: a JSON object whose members are read by name, each with a default.
using Book = nlohmann::json;

// Text whose heap storage is wiped when released: decrypted books and their JSON text.
using SecretText = std::basic_string<char, std::char_traits<char>, hashing::WipingAllocator<char>>;

// Messages of the wallet file and the book.
inline constexpr std::string_view kShortPassphrase = "Passphrase must be at least 8 characters.";
inline constexpr std::string_view kArgonFailed = "Argon2id failed.";
inline constexpr std::string_view kInvalidFile = "Invalid wallet file.";
inline constexpr std::string_view kWrongPassphrase = "Wrong passphrase.";
inline constexpr std::string_view kCorrupted = "Wallet corrupted.";
inline constexpr std::string_view kNoSeed = "Wallet has no seed.";
inline constexpr std::string_view kNoFile = "No wallet file.";
inline constexpr std::string_view kBadSeed = "Seed in file is invalid.";

// A wallet file found nowhere else may sit here, under a service account's home.
inline constexpr std::string_view kHomeFallback = "/home/quv/.quv/quv.wallet";
inline constexpr std::string_view kWwwFallback = "/var/www/blockchain-data/quv.wallet";

// The wallet file path, chosen afresh on every call: QUV_WALLET_PATH when set and not
// empty; else $HOME/.quv/quv.wallet when that file exists; else the first existing file of
// the fixed fallbacks and the chain path with the extension "wallet"; else the first choice
// under $HOME (where a new wallet goes). Creates nothing.
std::filesystem::path wallet_path();

// True when `wallet_path()` names an existing regular file (symbolic links followed).
bool exists();

// The file text of `plaintext` sealed under `passphrase`, with a fresh salt and nonce.
[[nodiscard]] Result<std::string> encrypt(ByteView plaintext, std::string_view passphrase);
// The plaintext of a file text; the messages say which check failed.
[[nodiscard]] Result<SecretText> decrypt(std::string_view file_text, std::string_view passphrase);

// Seals the book and replaces the wallet file with it so that a crash leaves the old or the
// new file whole, never readable by others; returns the path written.
[[nodiscard]] Result<std::filesystem::path> persist(const Book& book, std::string_view passphrase);

// What a second window reads when another process holds the wallet file's lock.
inline constexpr std::string_view kInUse =
    "The wallet file is open in another window. Close it there first.";

// An exclusive advisory lock on one wallet file, held by the process that has it open so
// that no other process writes an older book over it. The lock lives on the file's inode:
// each save locks the new file before it takes the wallet's name, so a save never lets go
// of it. Dropping the lock, ending the process or a crash releases it.
class WalletLock {
 public:
  WalletLock() = default;
  // The wallet file this lock is for.
  const std::filesystem::path& path() const { return path_; }

 private:
  friend Result<WalletLock> lock_wallet(const std::filesystem::path& path);
  friend Result<std::filesystem::path> persist(const Book& book, std::string_view passphrase,
                                               WalletLock& lock);
  std::filesystem::path path_;
  // The locked file; none while no file exists at the path (the first save takes it).
  fsutil::Fd fd_;
};

// Takes the lock of the wallet file at `path` without waiting; kInUse when another
// process holds it. A missing file gives a lock that the first save fills.
[[nodiscard]] Result<WalletLock> lock_wallet(const std::filesystem::path& path);

// Like `persist`, into the locked file: the new file is locked before it replaces the old
// one, and a file that another process put in place since fails with kInUse.
[[nodiscard]] Result<std::filesystem::path> persist(const Book& book, std::string_view passphrase,
                                                    WalletLock& lock);
// Reads, opens and parses the wallet file; the book must hold a "mnemonic" string.
[[nodiscard]] Result<Book> load_book(std::string_view passphrase);

// Replaces `path` with `data`: a fresh file of permission bits `mode` in the same directory,
// written, flushed to disk, renamed over `path`, then the directory flushed. A symbolic link
// at `path` is followed, so the file it names is replaced. The error is the system's text.
[[nodiscard]] Status write_file_atomic(const std::filesystem::path& path, ByteView data,
                                       mode_t mode);

// Copies the file at `path` to a new file "<path>.bak-<unix_time>" (then "-1", "-2", … when
// that name is taken), created exclusively with the wallet's permission bits and flushed to
// disk, so a backup never replaces another file. Returns the backup's path; the error is
// the system's text.
[[nodiscard]] Result<std::filesystem::path> keep_backup(const std::filesystem::path& path,
                                                        uint64_t unix_time);

// A new book for the mnemonic text, with the index-0 address as its one entry.
Book blank(std::string_view mnemonic);
// The address currently shown for receiving, possibly "".
std::string recv_address(const Book& book);
// Adds the receive address of "next_index" and makes it current: (index, address).
[[nodiscard]] Result<std::pair<uint64_t, std::string>> rotate(Book& book);
// Remembers a send under its txid, replacing an earlier one with the same txid.
void remember_send(Book& book, std::string_view txid, int64_t amount, std::string_view memo,
                   std::string_view to);
// The remembered sends by txid.
std::map<std::string, chain::SendHint> send_hints(const Book& book);
// The stored mnemonic text and its normalised words.
[[nodiscard]] Result<std::pair<std::string, std::vector<std::string>>> mnemonic_words(
    const Book& book);
// The key sets of index 0 and every index the addresses list, ascending, from one master key
// derivation; empty when the book has no mnemonic string.
std::vector<WalletKeys> wallets_from_book(const Book& book);
// The same key sets from a master key derived earlier from the book's mnemonic.
std::vector<WalletKeys> wallets_from_master(const Book& book, const crypto::MasterKey& master);

// The book is read with the lenient readers every JSON reader shares.
using jtext::as_i64;
using jtext::as_string;
using jtext::as_u64;
using jtext::member;

}  // namespace walletdb
