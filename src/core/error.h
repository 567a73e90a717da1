// The one error value of the system's own operations, and the stop for bugs.
// Every fallible operation of the protocol core and the ledger returns
// std::expected<T, QuvError>; any thread may build, move and show one.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QuvError {
 public:
  enum class Kind { Msg, Json };
  // What a caller may have to tell apart (retry, skip, say it otherwise); callers branch
  // on this, never on the text, which is for people.
  enum class Code { Other, NothingToSeal, NotRegularFile, AddressInUse };

  // A finished message for the user, shown unchanged.
  static QuvError msg(std::string text);
  // A JSON library failure passed on; `library_text` is the library's own text.
  static QuvError json(std::string library_text);
  // A message that callers tell apart by `code`.
  static QuvError coded(Code code, std::string text);

  Kind kind() const { return kind_; }
  bool is_msg() const { return kind_ == Kind::Msg; }
  Code code() const { return code_; }
  // The payload: the message, or the JSON library's text.
  const std::string& text() const { return text_; }
  // The display text: the message unchanged, or "json: " and the library's text.
  std::string to_string() const;
  // The tuple form, for diagnostics: Msg("...") or Json("...").
  std::string debug() const;
  // The inner error's display text: the JSON error for Json, nothing for Msg.
  std::optional<std::string> source() const;

  // Two errors are equal when the user would see the same; the code does not count.
  bool operator==(const QuvError& o) const { return kind_ == o.kind_ && text_ == o.text_; }

 private:
  QuvError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
  Code code_ = Code::Other;
};

template <typename T>
using Result = std::expected<T, QuvError>;
using Status = std::expected<void, QuvError>;

// Shorthand for the common failure return.
inline std::unexpected<QuvError> fail(std::string text) {
  return std::unexpected(QuvError::msg(std::move(text)));
}
inline std::unexpected<QuvError> fail(QuvError::Code code, std::string text) {
  return std::unexpected(QuvError::coded(code, std::move(text)));
}

namespace error {

// The command layer's error: a text and its causes, outer to inner.
struct Report {
  std::string text;
  std::vector<std::string> causes;
};

// A QuvError as a report, optionally under a context word ("chain").
Report report(const QuvError& e, std::optional<std::string> context = std::nullopt);
// A plain text without causes.
Report plain(std::string text);
// "Error: text", then "\n\nCaused by:" and the causes, each line ending in '\n'.
std::string format_report(const Report& r);

// The text of errno `err` as the platform words it, with its number: "No such file or directory (os
// error 2)".
std::string os_text(int err);

}  // namespace error

// Ends the program for a broken invariant or a failing library; never for bad input.
[[noreturn]] void die(std::string_view what);
