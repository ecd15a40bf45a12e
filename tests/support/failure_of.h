// The one way tests catch an expected failure.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "failure.h"

namespace quillet::testing {

inline constexpr std::string_view kNoFailure = "<no failure>";

// What `f` raised as an `E`: "kind / step / message" for a Failure, what() for
// any other type; kNoFailure when `f` returned. An exception of another type
// passes through and fails the test.
template <typename E, typename F>
std::string failure_of(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const E& e) {
    if constexpr (std::is_same_v<E, Failure>) {
      return e.kind() + " / " + e.step() + " / " + e.what();
    } else {
      return e.what();
    }
  }
  return std::string(kNoFailure);
}

}  // namespace quillet::testing
