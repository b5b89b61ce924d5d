// The circuit-string grammar ("R0-(R1,CPE1)", "L0-R0-p(R1,C1)") and its
// error report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "circuit/tree.h"
#include "support/result.h"

namespace kelvra {

// Positions count code points from the start of the text as passed.
struct UnexpectedChar { std::size_t position; };
struct UnexpectedEnd {};
struct UnknownCode { std::string code; std::size_t position; };
struct TrailingInput { std::size_t position; };
struct DuplicateLabel { std::string label; };
// Groups opened deeper than kMaxNestingDepth; position of the '(' that
// crossed the limit.
struct NestingTooDeep { std::size_t position; };

using ParseError =
    std::variant<UnexpectedChar, UnexpectedEnd, UnknownCode, TrailingInput, DuplicateLabel, NestingTooDeep>;

std::string display(const ParseError& error);

Result<Series, ParseError> parse(std::string_view text);

// The multi-line message raised for an unparsable circuit string: the error,
// a caret under its position, the syntax reminder and the element listing
// built from the catalogue.
std::string parse_error_report(std::string_view text, const ParseError& error);

}  // namespace kelvra
