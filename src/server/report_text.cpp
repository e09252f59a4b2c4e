#include "server/server.hpp"

std::size_t fragmentLength(std::string_view received) {
  const auto lastLineFeed = received.rfind('\n');
  if (lastLineFeed == std::string_view::npos) {
    return 0; // a peer that closed without a line feed sent one whole report
  }
  const auto tail = received.substr(lastLineFeed + 1);
  if (tail.find_first_not_of('\0') == std::string_view::npos) {
    return 0; // padding that some boards send after their line
  }
  return tail.size();
}

std::string reportText(std::string_view received) {
  const auto lastLineFeed = received.rfind('\n');
  if (lastLineFeed != std::string_view::npos) {
    received = received.substr(0, lastLineFeed + 1);
  }
  return std::string(received.substr(0, received.find('\0')));
}
