#pragma once
// A visitor for std::visit built out of lambdas.

namespace vemo {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang 16 builds the fuzz targets).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace vemo
