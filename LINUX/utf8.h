// UTF-8 as quillet reads it: well-formed sequences only, so no overlong form,
// no surrogate and nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillet {

// The sequence that a text starts with. A broken one covers its lead byte and
// the continuation bytes that were still acceptable: the byte that breaks it
// starts the next sequence. Every byte of a broken sequence is also broken on
// its own, so dropping broken sequences and dropping bad bytes one at a time
// leave the same text.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
  char32_t code_point;  // when valid
};

// The sequence at the start of `text`, which must not be empty. Inline: the
// report parser calls it for every byte of a line that is not plain ASCII.
inline Utf8Sequence utf8_sequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {1, true, lead};
  std::size_t continuations = 0;
  char32_t code_point = 0;
  unsigned char low = 0x80, high = 0xbf;  // range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    continuations = 1;
    code_point = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    continuations = 2;
    code_point = lead & 0x0f;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    continuations = 3;
    code_point = lead & 0x07;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
  } else {
    return {1, false, 0};
  }
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (i >= text.size()) return {i, false, 0};
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < low || byte > high) return {i, false, 0};
    code_point = (code_point << 6) | (byte & 0x3f);
    low = 0x80;
    high = 0xbf;
  }
  return {continuations + 1, true, code_point};
}

inline bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Sequence sequence = utf8_sequence(text.substr(i));
    if (!sequence.valid) return false;
    i += sequence.length;
  }
  return true;
}

}  // namespace quillet
