#pragma once

namespace vemo {

// A visitor for std::visit built out of lambdas.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace vemo
