#include "server/places.hpp"

#include <algorithm>

#include <sys/resource.h>

namespace {

// Descriptors the collector needs besides its connections.
constexpr std::size_t keptDescriptors = 16;

} // namespace

std::size_t placesFor(std::size_t openFiles) {
  return std::clamp<std::size_t>(openFiles - std::min(openFiles, keptDescriptors), 1, mostPlaces);
}

std::size_t openFilesLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return mostPlaces + keptDescriptors;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}
