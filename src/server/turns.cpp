#include "server/turns.hpp"

#include <algorithm>

bool LostTurns::lose(const std::string &address, Clock::time_point now) {
  const bool news = !hasLost(address, now);
  if (news && until_.size() >= capacity) {
    forgetExpired(now);
  }
  if (news && until_.size() >= capacity) {
    until_.erase(std::min_element(until_.begin(), until_.end(), [](const auto &a, const auto &b) {
      return a.second < b.second;
    }));
  }
  until_[address] = now + penalty;
  return news;
}

bool LostTurns::hasLost(const std::string &address, Clock::time_point now) const {
  const auto found = until_.find(address);
  return found != until_.end() && now < found->second;
}

void LostTurns::forgetExpired(Clock::time_point now) {
  for (auto it = until_.begin(); it != until_.end();) {
    it = now >= it->second ? until_.erase(it) : std::next(it);
  }
}
