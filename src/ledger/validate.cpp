// Validation of transactions against the ledger: the rules of every transaction type and
// the spend checks of their inputs.
#include <sodium.h>

#include <cstdlib>

#include "core/decimal.h"
#include "core/hashing.h"
#include "ledger/adopt_check.h"
#include "ledger/chain.h"
#include "ledger/nft.h"

using codec::Tx;

namespace chain {

bool verify_spend(const Key32& pk, const Sig64& sig, ByteView msg, const Hash32& note_id,
                  Bytes& scratch) {
  if (sig[63] >= 0x20) return false;
  scratch.assign(msg.begin(), msg.end());
  scratch.insert(scratch.end(), note_id.begin(), note_id.end());
  return crypto_sign_verify_detached(sig.data(), scratch.data(), scratch.size(), pk.data()) == 0;
}

}  // namespace chain

namespace {

bool verify_inline(void* ctx, const Key32& pk, const Sig64& sig, ByteView msg,
                   const Hash32& note_id) {
  return chain::verify_spend(pk, sig, msg, note_id, *static_cast<Bytes*>(ctx));
}

}  // namespace

Status Chain::validate(const Tx& tx, bool sealing) const {
  Bytes scratch;
  if (tx.type != codec::kTxTransfer && tx.type != codec::kTxNftMint) {
    return check_tx(tx, sealing, {}, verify_inline, &scratch);
  }
  const Bytes m = codec::encode_tx_unsigned(tx);
  return check_tx(tx, sealing, m, verify_inline, &scratch);
}

Status Chain::check_tx(const Tx& tx, bool sealing, ByteView unsigned_tx, SigCheck sig,
                       void* ctx) const {
  switch (tx.type) {
    case codec::kTxPreamble:
      // A preamble is free text; one from outside, or one that moved notes, would create
      // or destroy notes without any spend check once sealed.
      if (!sealing) return fail("Preamble cannot be submitted from outside.");
      if (!tx.inputs.empty() || !tx.outputs.empty()) {
        return fail("Preamble cannot carry inputs or outputs.");
      }
      return {};
    case codec::kTxWork:
      if (!sealing) return fail("Work cannot be submitted from outside.");
      return {};
    case codec::kTxTransfer:
      if (tx.inputs.empty() || tx.outputs.empty()) {
        return fail("Transfer needs inputs and outputs.");
      }
      return check_spends(tx, unsigned_tx, sig, ctx);
    case codec::kTxNftMint: {
      auto mint = nft::parse_extra(tx.extra);
      if (!mint) return std::unexpected(mint.error());
      if (nft_ids_.contains(mint->first)) return fail("NFT already minted.");
      if (!sealing && state_.mempool.has_image(mint->first)) {
        return fail("NFT already in mempool.");
      }
      if (tx.inputs.empty() || tx.outputs.empty()) return fail("NFT mint costs 0,25000 QÚV.");
      return check_spends(tx, unsigned_tx, sig, ctx);
    }
    default:
      return fail("Unknown tx type.");
  }
}

Status Chain::check_spends(const Tx& tx, ByteView unsigned_tx, SigCheck sig, void* ctx) const {
  if (sig == nullptr) sig = verify_inline;
  // Few inputs are compared directly; many go through a set so the check stays linear.
  const bool use_set = tx.inputs.size() > 16;
  chain::IdSet seen;
  for (size_t i = 0; i < tx.inputs.size(); ++i) {
    const codec::TxInput& in = tx.inputs[i];
    bool dup = false;
    if (use_set) {
      dup = !seen.insert(in.note_id);
    } else {
      for (size_t j = 0; j < i && !dup; ++j) dup = tx.inputs[j].note_id == in.note_id;
    }
    if (dup) return fail("Duplicate input.");
    const Key32* key = notes_.find(in.note_id);
    if (key == nullptr) return fail("Unknown or spent note.");
    if (nullifiers_.contains(in.nullifier)) return fail("Nullifier already seen.");
    if (!sig(ctx, *key, in.sig, unsigned_tx, in.note_id)) return fail("Bad spend signature.");
    if (codec::nullifier(in.note_id, *key) != in.nullifier) {
      return fail("Bad nullifier.");
    }
  }
  return {};
}

uint64_t Chain::required_confirms() {
  const char* v = std::getenv("QUV_CONFIRM_PEERS");
  if (v == nullptr) return chain::kDefaultConfirms;
  return decimal::parse_u64(v).value_or(chain::kDefaultConfirms);
}
