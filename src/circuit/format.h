// Writing a tree back as a circuit string, and the K/Zarc expansion.
#pragma once

#include <span>
#include <string>

#include "circuit/tree.h"
#include "support/result.h"

namespace kelvra {

// The tree as text, leaves written with `labels` in leaf order, groups as
// "(a,b)". Fails with "one label per leaf" when `labels` runs out.
Result<std::string, std::string> format_series(const Series& series, std::span<const std::string> labels);

// Replaces every K by (R, C) and every Zarc by (R, Cpe) with the equivalent
// values; sets `expanded` when anything was replaced.
Series expand_series(const Series& series, bool& expanded);

}  // namespace kelvra
