#pragma once

// What a record's time stamp can be believed to say. A stamp is local time without an offset,
// so in the hour that the clock repeats in autumn it names two instants, and in the hour that
// spring skips it names none; and anyone can send a line that starts with fourteen digits.

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>

// The fields of a stamp as written: day, month, year, hour, minute, second.
struct LocalStamp {
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
};

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
std::int64_t daysSinceEpoch(int year, int month, int day);

// The stamp at the start of `record`: fourteen digits and a comma, naming a real calendar
// date and a time of day. Nothing for a record that does not start so.
std::optional<LocalStamp> parseStamp(std::string_view record);

// The instants at which the local clock showed `stamp`, earliest first: one in most hours,
// two in the hour repeated when the clock goes back, none in the hour skipped when it goes
// forward. Follows the time zone of the process (TZ).
struct Instants {
  std::array<std::time_t, 2> at{};
  std::size_t count = 0;
};
Instants instantsOf(const LocalStamp &stamp);

// Turns the stamps of one file into instants. A file holds many records of one hour, and
// finding an hour's offset from UTC takes a few conversions; within an hour it does not
// change, so the last hour's instants are kept.
class StampClock {
public:
  Instants instantsOf(const LocalStamp &stamp);

  // The instant a record's stamp is believed to mean, or nothing when it cannot be true.
  // `latest` is the last moment anything was written to the file: no record is newer. When
  // the record is followed by another whose instant is `next`, the stamp is taken as the
  // latest instant not after it; without one, as the latest not after `latest`.
  std::optional<std::time_t> believedInstant(const LocalStamp &stamp, std::time_t latest,
                                             std::optional<std::time_t> next);

private:
  std::optional<LocalStamp> hour_;
  Instants hourStarts_;
};
