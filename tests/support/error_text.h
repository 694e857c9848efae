// A result's error in words, or empty when it succeeded: what tests compare and print.
#pragma once

#include <string>

#include "platform/error.h"

namespace movrand::test {

template <class T>
std::string ErrorText(const Result<T>& result) {
  return result ? std::string() : result.error().text;
}

}  // namespace movrand::test
