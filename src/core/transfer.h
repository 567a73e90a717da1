// The wallet-side transfer builder: spends opened notes in order until they cover an
// amount, pays the recipient and returns the change, and signs every input. Pure; safe on
// any thread (the wallet UI calls it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"

struct WalletKeys;
struct OpenedNote;

namespace chain {

// Largest signed transfer the builder hands out, in bytes.
inline constexpr size_t kMaxTransferBytes = 400000;
// Longest memo, in Unicode scalar values.
inline constexpr size_t kMaxMemoChars = 280;

// Decodes hex text (either case) that must give exactly 32 bytes: "hex" or "hex len".
[[nodiscard]] Result<Hash32> hex_to_32(std::string_view text);

// Builds and signs a transfer of `amount` base units to the address `to`, spending the
// given notes in order until they cover it, with change back to the sender.
[[nodiscard]] Result<codec::Tx> make_transfer(const WalletKeys& keys,
                                              std::span<const OpenedNote> notes,
                                              std::string_view to, int64_t amount,
                                              std::string_view memo);

}  // namespace chain
