#include "circuit/grammar.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "support/overloaded.h"
#include "support/text.h"

namespace kelvra {
namespace {

bool is_ascii_letter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }
bool is_ascii_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

// Recursive descent unrolled into a loop with an explicit stack of open
// groups, so that hostile input cannot exhaust the call stack; the stack is
// capped at kMaxNestingDepth.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(decode_utf8(text)) {}

  Result<Series, ParseError> run() {
    for (;;) {
      if (auto error = read_term()) return fail(std::move(*error));
      auto another = finish_term();
      if (!another) return fail(another.error());
      if (!another.value()) break;
    }
    if (pos_ != text_.size()) return fail(ParseError{TrailingInput{pos_}});
    if (auto label = first_duplicate_label(top_)) return fail(ParseError{DuplicateLabel{std::move(*label)}});
    return std::move(top_);
  }

 private:
  // A group still being read: the branches already closed by ',' and the
  // branch being read now.
  struct OpenGroup {
    std::vector<Series> branches;
    Series current;
  };

  bool at(char32_t c) const { return pos_ < text_.size() && text_[pos_] == c; }

  Series& current_series() { return open_.empty() ? top_ : open_.back().current; }

  // The index of the '(' when a group starts at pos: "(" or "p(".
  std::optional<std::size_t> group_opener() const {
    if (at(U'(')) return pos_;
    if (at(U'p') && pos_ + 1 < text_.size() && text_[pos_ + 1] == U'(') return pos_ + 1;
    return std::nullopt;
  }

  // A term: any groups opening here, then the element that starts the
  // innermost one's first branch (or the term itself, if no group opens).
  std::optional<ParseError> read_term() {
    while (const auto paren = group_opener()) {
      if (open_.size() == kMaxNestingDepth) return NestingTooDeep{*paren};
      pos_ = *paren + 1;
      open_.emplace_back();
    }
    return read_element();
  }

  // ASCII letters (the code) then ASCII digits; the label is both verbatim.
  std::optional<ParseError> read_element() {
    const std::size_t p0 = pos_;
    if (p0 == text_.size()) return UnexpectedEnd{};
    std::string label;
    while (pos_ < text_.size() && is_ascii_letter(text_[pos_])) label += static_cast<char>(text_[pos_++]);
    if (label.empty()) return UnexpectedChar{p0};
    const std::size_t code_length = label.size();
    // The digits are required before the code is looked up, so "X" is an
    // unexpected character and "X1" an unknown code.
    if (pos_ == text_.size() || !is_ascii_digit(text_[pos_])) return UnexpectedChar{pos_};
    while (pos_ < text_.size() && is_ascii_digit(text_[pos_])) label += static_cast<char>(text_[pos_++]);
    const std::string_view code = std::string_view(label).substr(0, code_length);
    const auto element = default_for_code(code);
    if (!element) return UnknownCode{std::string(code), p0};
    current_series().push_back(Node{Leaf{*element, std::move(label)}});
    return std::nullopt;
  }

  // After a term: '-' means another term of the same series follows. Inside
  // a group ',' starts the next branch and ')' closes the group, which is
  // itself a finished term of the enclosing series. Returns whether another
  // term follows.
  Result<bool, ParseError> finish_term() {
    for (;;) {
      if (at(U'-')) {
        ++pos_;
        return true;
      }
      if (open_.empty()) return false;
      if (at(U',')) {
        ++pos_;
        OpenGroup& group = open_.back();
        group.branches.push_back(std::move(group.current));
        group.current = Series{};
        return true;
      }
      if (!at(U')')) return fail(ParseError{UnexpectedEnd{}});
      ++pos_;
      OpenGroup group = std::move(open_.back());
      open_.pop_back();
      group.branches.push_back(std::move(group.current));
      current_series().emplace_back().value.emplace<ParallelGroup>(ParallelGroup{std::move(group.branches)});
    }
  }

  std::vector<char32_t> text_;
  std::size_t pos_ = 0;
  Series top_;
  std::vector<OpenGroup> open_;
};

// The error's position for the variants that point into the text.
std::optional<std::size_t> position_of(const ParseError& error) {
  return std::visit(Overloaded{
                        [](const UnexpectedChar& e) -> std::optional<std::size_t> { return e.position; },
                        [](const UnexpectedEnd&) -> std::optional<std::size_t> { return std::nullopt; },
                        [](const UnknownCode& e) -> std::optional<std::size_t> { return e.position; },
                        [](const TrailingInput& e) -> std::optional<std::size_t> { return e.position; },
                        [](const DuplicateLabel&) -> std::optional<std::size_t> { return std::nullopt; },
                        [](const NestingTooDeep& e) -> std::optional<std::size_t> { return e.position; },
                    },
                    error);
}

// "  CPE   q [ohm^-1*s^alpha], alpha [-]": the code padded to this width.
constexpr std::size_t kCodeColumnWidth = 4;

std::string element_listing_line(const KindInfo& kind) {
  std::string code(kind.canonical_code);
  code.resize(std::max(code.size(), kCodeColumnWidth), ' ');
  std::string line = "  " + code + "  ";
  for (std::size_t i = 0; i < kind.param_count; ++i) {
    if (i > 0) line += ", ";
    line.append(kind.fields[i]).append(" [").append(kind.units[i]).append("]");
  }
  return line;
}

}  // namespace

std::string display(const ParseError& error) {
  return std::visit(
      Overloaded{
          [](const UnexpectedChar& e) { return "unexpected character at position " + std::to_string(e.position); },
          [](const UnexpectedEnd&) { return std::string("unexpected end of input"); },
          [](const UnknownCode& e) {
            return "unknown element code " + debug_quoted(e.code) + " at position " + std::to_string(e.position);
          },
          [](const TrailingInput& e) {
            return "unexpected trailing input at position " + std::to_string(e.position);
          },
          [](const DuplicateLabel& e) { return "duplicate element label " + debug_quoted(e.label); },
          [](const NestingTooDeep& e) {
            return "groups nested deeper than " + std::to_string(kMaxNestingDepth) + " at position " +
                   std::to_string(e.position);
          },
      },
      error);
}

Result<Series, ParseError> parse(std::string_view text) { return Parser(text).run(); }

std::string parse_error_report(std::string_view text, const ParseError& error) {
  std::string report = display(error);
  if (const auto position = position_of(error)) {
    report.append("\n\n  ").append(text).append("\n  ").append(*position, ' ').append("^");
  }
  report +=
      "\n"
      "\nsyntax:"
      "\n  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\""
      "\n  - connect elements in series with '-', e.g. \"R0-C1\""
      "\n  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\""
      "\n"
      "\navailable elements (code, parameters, [units]):";
  for (const KindInfo& kind : kKinds) report.append("\n").append(element_listing_line(kind));
  return report;
}

}  // namespace kelvra
