// Reading a GET /blocks page for the sync: the parser hands each value to the reader as it
// is met, and only what the sync uses is kept, in the compact form of light.h.
// The page's text is never turned into a JSON tree, and nothing of a "blocks" array is
// kept past its 32nd block or an element that is no object (such a page is refused), so a
// page of a few tiny values repeated millions of times costs no more than a page of real
// blocks. A member given twice counts with its last value, as the JSON library reads it.
#include <algorithm>
#include <iterator>

#include "core/hex.h"
#include "core/json_text.h"
#include "wallet/light.h"
#include "wallet/light_internal.h"

namespace light::internal {

namespace {

using json = nlohmann::json;

// An output's fields while its object is read: each hex text and whether it came as a
// string. The texts keep their buffers from one output to the next.
struct OutputDraft {
  std::string text[4];
  bool given[4] = {false, false, false, false};
};

// The fields of an output, in the order of OutputDraft.
constexpr std::string_view kOutputFields[4] = {"stealth_tag", "eph_pub", "auth_pk", "ciphertext"};

// A note id as the wallet writes it has 64 hex digits; no other input can spend a note.
bool maybe_note_id(std::string_view s) { return s.size() == 64; }

// Where the reader is: the kind of the array or object it is inside.
enum class At : uint8_t { Top, Blocks, Block, Txs, Tx, Inputs, Outputs, Output, Skip };

// The parser's callbacks: every value lands in the page or is dropped at once.
class Reader {
 public:
  using string_t = json::string_t;

  explicit Reader(Page& page) : page_(page) {}

  bool null() { return scalar(Kind::Other, 0, 0, nullptr); }
  bool boolean(bool v) { return scalar(v ? Kind::True : Kind::Other, 0, 0, nullptr); }
  bool number_integer(json::number_integer_t v) {
    return v < 0 ? scalar(Kind::Negative, v, 0, nullptr) : scalar(Kind::Unsigned, v, v, nullptr);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar(Kind::Unsigned, v > static_cast<uint64_t>(INT64_MAX) ? -2 : int64_t(v), v,
                  nullptr);
  }
  bool number_float(json::number_float_t, const string_t&) {
    return scalar(Kind::Fraction, 0, 0, nullptr);
  }
  bool string(string_t& v) { return scalar(Kind::String, 0, 0, &v); }
  bool binary(json::binary_t&) { return scalar(Kind::Other, 0, 0, nullptr); }

  bool start_object(std::size_t) {
    if (stack_.empty()) return push(At::Top);
    switch (stack_.back()) {
      case At::Blocks:
        // Past the blocks a page may hold nothing more of the array is kept.
        if (blocks_over_ || page_.blocks.size() >= kPageBlocks) {
          blocks_over_ = true;
          return push(At::Skip);
        }
        page_.blocks.emplace_back();
        block_bad_ = false;
        return push(At::Block);
      case At::Txs:
        block().txs.emplace_back();
        return push(At::Tx);
      case At::Outputs:
        std::fill(std::begin(draft_.given), std::end(draft_.given), false);
        return push(At::Output);
      default:
        // An object where the sync wants a number, a string or an array.
        scalar(Kind::Other, 0, 0, nullptr);
        return push(At::Skip);
    }
  }
  bool end_object() {
    const At at = stack_.back();
    stack_.pop_back();
    if (at == At::Output) {
      const std::string* t = draft_.text;
      if (std::all_of(std::begin(draft_.given), std::end(draft_.given), [](bool g) { return g; })) {
        if (auto out = output_of(t[0], t[1], t[2], t[3])) {
          block().txs.back().outputs.push_back(std::move(*out));
        }
      }
    } else if (at == At::Tx) {
      const PageTx& tx = block().txs.back();
      if (tx.inputs.empty() && tx.outputs.empty()) block().txs.pop_back();
    } else if (at == At::Block) {
      blocks_bad_ = blocks_bad_ || block_bad_;
    }
    return true;
  }
  bool start_array(std::size_t) {
    const At at = stack_.empty() ? At::Skip : stack_.back();
    if (at == At::Top && key_ == "blocks") {
      page_.listed = true;
      page_.blocks.clear();
      blocks_bad_ = blocks_over_ = false;
      return push(At::Blocks);
    }
    // A block that is no object: nothing more of the array is kept.
    if (at == At::Blocks) {
      blocks_over_ = true;
      return push(At::Skip);
    }
    if (at == At::Block && key_ == "txs") {
      block().txs.clear();
      return push(At::Txs);
    }
    if (at == At::Tx && key_ == "inputs") {
      block().txs.back().inputs.clear();
      return push(At::Inputs);
    }
    if (at == At::Tx && key_ == "outputs") {
      block().txs.back().outputs.clear();
      return push(At::Outputs);
    }
    if (!stack_.empty()) scalar(Kind::Other, 0, 0, nullptr);
    return push(At::Skip);
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool key(string_t& k) {
    // Copied, not moved: the parser keeps its buffer for the next text.
    key_.assign(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  // Whether "ok" was true, the "error" text, and whether the page is refused: a height no
  // chain reaches, or a "blocks" array with more than 32 elements or one that is no object
  // (a member given again replaces the one before it).
  bool ok() const { return ok_; }
  const std::optional<std::string>& error() const { return error_; }
  bool refused() const { return height_bad_ || blocks_bad_ || blocks_over_; }

  // Reads the value that follows as one block, not as a page.
  void as_block() { stack_.push_back(At::Blocks); }

 private:
  enum class Kind : uint8_t { True, Unsigned, Negative, Fraction, String, Other };

  bool push(At at) {
    stack_.push_back(at);
    return true;
  }
  PageBlock& block() { return page_.blocks.back(); }

  // A value that is no array and no object (or, with kind Other, one the sync does not
  // read at that place), at the current place.
  bool scalar(Kind kind, int64_t i, uint64_t u, string_t* s) {
    if (stack_.empty()) return true;
    const bool number = kind == Kind::Unsigned || kind == Kind::Negative || kind == Kind::Fraction;
    switch (stack_.back()) {
      case At::Top:
        if (key_ == "ok") {
          ok_ = kind == Kind::True;
        } else if (key_ == "error") {
          error_ = s != nullptr ? std::optional<std::string>(*s) : std::nullopt;
        } else if (key_ == "height") {
          page_.height = kind == Kind::Unsigned && i >= 0 ? std::optional<int64_t>(i)
                         : kind == Kind::Negative         ? std::optional<int64_t>(i)
                                                          : std::nullopt;
          height_bad_ =
              number && (!page_.height || *page_.height < -1 || *page_.height > kMaxHeight);
        } else if (key_ == "next") {
          page_.has_next = true;
          page_.next = kind == Kind::Unsigned ? std::optional<uint64_t>(u) : std::nullopt;
        } else if (key_ == "blocks") {
          page_.listed = false;
          page_.blocks.clear();
          blocks_bad_ = blocks_over_ = false;
        }
        break;
      case At::Blocks:
        // A block that is no object: nothing more of the array is kept.
        blocks_over_ = true;
        break;
      case At::Block:
        if (key_ == "height") {
          block().height = kind == Kind::Unsigned ? std::optional<uint64_t>(u) : std::nullopt;
          block_bad_ = number && (kind != Kind::Unsigned || u > static_cast<uint64_t>(kMaxHeight));
        } else if (key_ == "timestamp") {
          block().timestamp = kind == Kind::Unsigned ? u : 0;
        } else if (key_ == "hash") {
          block().hash.assign(s != nullptr ? *s : std::string());
        } else if (key_ == "prev") {
          block().prev.assign(s != nullptr ? *s : std::string());
        } else if (key_ == "txs") {
          block().txs.clear();
        }
        break;
      case At::Tx:
        if (key_ == "id") {
          block().txs.back().id.assign(s != nullptr ? *s : std::string());
        } else if (key_ == "inputs") {
          block().txs.back().inputs.clear();
        } else if (key_ == "outputs") {
          block().txs.back().outputs.clear();
        }
        break;
      case At::Inputs:
        if (s != nullptr && maybe_note_id(*s)) block().txs.back().inputs.push_back(*s);
        break;
      case At::Output:
        for (size_t f = 0; f < 4; ++f) {
          if (key_ != kOutputFields[f]) continue;
          draft_.given[f] = s != nullptr;
          if (s != nullptr) draft_.text[f].assign(*s);
        }
        break;
      default:
        break;
    }
    return true;
  }

  Page& page_;
  std::vector<At> stack_;
  std::string key_;
  OutputDraft draft_;
  bool ok_ = false;
  std::optional<std::string> error_;
  // A height no chain reaches: as the page's "height", as the current block's, and in a
  // block of the current "blocks".
  bool height_bad_ = false;
  bool block_bad_ = false;
  bool blocks_bad_ = false;
  // Whether the current "blocks" passed 32 elements or held one that is no object.
  bool blocks_over_ = false;
};

}  // namespace

std::optional<codec::TxOutput> output_of(std::string_view tag, std::string_view eph,
                                         std::string_view auth, std::string_view ct) {
  if (tag.size() != 32 || eph.size() != 64 || auth.size() != 64) return std::nullopt;
  std::optional<Bytes> t = hex::decode(tag), e = hex::decode(eph), a = hex::decode(auth),
                       c = hex::decode(ct);
  if (!t || !e || !a || !c) return std::nullopt;
  codec::TxOutput o;
  std::copy(t->begin(), t->end(), o.stealth_tag.begin());
  std::copy(e->begin(), e->end(), o.eph_pub.begin());
  std::copy(a->begin(), a->end(), o.auth_pk.begin());
  o.ciphertext = std::move(*c);
  return o;
}

Result<Page> read_page(std::string_view text) {
  if (!jtext::depth_within(text)) return fail(std::string(kBadBlocks));
  Page page;
  Reader reader(page);
  if (!json::sax_parse(text, &reader)) return fail(std::string(kBadBlocks));
  if (!reader.ok()) {
    if (reader.error()) return fail(*reader.error());
    return fail(std::string(kBadBlocks));
  }
  if (reader.refused()) return fail(std::string(kBadBlocks));
  return page;
}

PageBlock read_block(const nlohmann::json& block) {
  Page page;
  Reader reader(page);
  reader.as_block();
  if (!json::sax_parse(jtext::dump(block), &reader) || page.blocks.size() != 1) return {};
  return std::move(page.blocks.front());
}

}  // namespace light::internal
