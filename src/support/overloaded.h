// One visitor out of several lambdas, one per alternative of a variant: the
// way every error variant is rendered and every node kind handled.
#pragma once

namespace kelvra {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17),
// which build the fuzz targets.
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace kelvra
