#include "fleet/model/time_stamps.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace {

int number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) {
    value = value * 10 + (c - '0');
  }
  return value;
}

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

bool showsHour(std::time_t instant, const LocalStamp &stamp) {
  std::tm fields{};
  return localtime_r(&instant, &fields) != nullptr && fields.tm_year + 1900 == stamp.year &&
         fields.tm_mon + 1 == stamp.month && fields.tm_mday == stamp.day &&
         fields.tm_hour == stamp.hour && fields.tm_min == 0 && fields.tm_sec == 0;
}

// The instants at which the local clock showed the start of the stamp's hour. The offset from
// UTC at those instants is one of those in force within a day of the hour read as UTC.
Instants hourStarts(const LocalStamp &stamp) {
  const auto asUtc = static_cast<std::time_t>(
      daysSinceEpoch(stamp.year, stamp.month, stamp.day) * 86400 + std::int64_t{stamp.hour} * 3600);
  Instants starts;
  for (const std::time_t probe : {asUtc - 86400, asUtc, asUtc + 86400}) {
    std::tm fields{};
    if (localtime_r(&probe, &fields) == nullptr) {
      continue;
    }
    const std::time_t candidate = asUtc - fields.tm_gmtoff;
    auto *const known = starts.at.begin() + static_cast<std::ptrdiff_t>(starts.count);
    if (showsHour(candidate, stamp) && std::find(starts.at.begin(), known, candidate) == known &&
        starts.count < starts.at.size()) {
      starts.at[starts.count++] = candidate;
    }
  }
  if (starts.count == 2 && starts.at[0] > starts.at[1]) {
    std::swap(starts.at[0], starts.at[1]);
  }
  return starts;
}

Instants withinTheHour(Instants starts, const LocalStamp &stamp) {
  for (std::size_t i = 0; i < starts.count; ++i) {
    starts.at[i] += std::time_t{stamp.minute} * 60 + stamp.second;
  }
  return starts;
}

} // namespace

std::int64_t daysSinceEpoch(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::optional<LocalStamp> parseStamp(std::string_view record) {
  if (!hasTimestamp(record)) {
    return std::nullopt;
  }
  LocalStamp stamp{number(record.substr(0, 2)),  number(record.substr(2, 2)),
                   number(record.substr(4, 4)),  number(record.substr(8, 2)),
                   number(record.substr(10, 2)), number(record.substr(12, 2))};
  const bool realDate = stamp.year >= 1 && stamp.month >= 1 && stamp.month <= 12 &&
                        stamp.day >= 1 && stamp.day <= daysInMonth(stamp.year, stamp.month);
  // The collector stamps with the local clock, which never shows a leap second.
  const bool realTime = stamp.hour <= 23 && stamp.minute <= 59 && stamp.second <= 59;
  return realDate && realTime ? std::optional<LocalStamp>(stamp) : std::nullopt;
}

Instants instantsOf(const LocalStamp &stamp) {
  return withinTheHour(hourStarts(stamp), stamp);
}

Instants StampClock::instantsOf(const LocalStamp &stamp) {
  const bool sameHour = hour_ && hour_->year == stamp.year && hour_->month == stamp.month &&
                        hour_->day == stamp.day && hour_->hour == stamp.hour;
  if (!sameHour) {
    hourStarts_ = hourStarts(stamp);
    hour_ = stamp;
  }
  return withinTheHour(hourStarts_, stamp);
}

std::optional<std::time_t> StampClock::believedInstant(const LocalStamp &stamp, std::time_t latest,
                                                       std::optional<std::time_t> next) {
  const Instants instants = instantsOf(stamp);
  std::optional<std::time_t> earliestAfterNext;
  std::optional<std::time_t> chosen;
  for (std::size_t i = 0; i < instants.count && instants.at[i] <= latest; ++i) {
    const std::time_t instant = instants.at[i];
    if (!next || instant <= *next) {
      chosen = instant; // the latest so far that is not after the next record
    } else if (!earliestAfterNext) {
      earliestAfterNext = instant;
    }
  }
  // A record newer than the one after it: the clock was set back in between. It is believed
  // all the same, as near to the next record as it can be.
  return chosen ? chosen : earliestAfterNext;
}
