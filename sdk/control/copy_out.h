// How the control interface hands a text to its caller: into the caller's
// buffer, cut to fit with a NUL after it, and the text's whole length as
// the result, so that a caller whose buffer was too small can tell and ask
// again with a larger one.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace lumora_sdk {

inline size_t copy_out(const std::string& text, char* buf, size_t buf_size) {
  if (buf != nullptr && buf_size > 0) {
    const size_t n = std::min(text.size(), buf_size - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return text.size();
}

}  // namespace lumora_sdk
