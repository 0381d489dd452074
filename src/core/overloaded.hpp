#pragma once

namespace vemo {

// A visitor for std::visit built out of lambdas.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang 16 builds the fuzz targets).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace vemo
