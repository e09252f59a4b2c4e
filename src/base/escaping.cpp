#include "base/escaping.hpp"

#include <algorithm>

std::string printable(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '\\') {
      const char escaped[] = {'\\', 'x', hex[byte >> 4U], hex[byte & 0xfU]};
      shown.append(escaped, sizeof escaped);
    } else {
      shown += c;
    }
  }
  return shown;
}

std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  if (text.empty()) {
    return 0;
  }
  const unsigned lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || text.size() < length) {
    return 0;
  }
  unsigned codePoint = lead & (0x7fU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0U) != 0x80) {
      return 0;
    }
    codePoint = (codePoint << 6) | (byte(i) & 0x3fU);
  }
  const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
  return codePoint < smallest[length] || surrogate || codePoint > 0x10ffff ? 0 : length;
}

std::size_t firstInvalidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8SequenceLength(text.substr(i));
    if (length == 0) {
      return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

namespace {

bool steersText(std::string_view character) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(character[i]);
  };
  if (character.size() == 2) {
    return byte(0) == 0xc2 && byte(1) <= 0x9f; // C1
  }
  return character.size() == 3 && byte(0) == 0xe2 &&
         ((byte(1) == 0x80 && byte(2) >= 0xaa && byte(2) <= 0xae) ||
          (byte(1) == 0x81 && byte(2) >= 0xa6 && byte(2) <= 0xa9));
}

} // namespace

std::string printableUtf8(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    const auto first = static_cast<unsigned char>(text.front());
    if (first >= 0x20 && first < 0x7f && first != '\\') {
      shown += text.front(); // the common case, as printable keeps it
      text.remove_prefix(1);
      continue;
    }
    const std::size_t length = utf8SequenceLength(text);
    const std::string_view character = text.substr(0, std::max<std::size_t>(length, 1));
    if (length > 1 && !steersText(character)) {
      shown += character;
    } else {
      shown += printable(character);
    }
    text.remove_prefix(character.size());
  }
  return shown;
}
