#include "fleet/render/table.hpp"
#include "fleet/render/text.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The columns a text takes on a terminal: one per character of its UTF-8, not per byte, so
// that a name with an umlaut does not shift the columns after it.
std::size_t displayWidth(const std::string &text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  }));
}

std::string padded(const std::string &text, std::size_t width, bool right = false) {
  const std::size_t shown = displayWidth(text);
  const std::string fill(width > shown ? width - shown : 0, ' ');
  return right ? fill + text : text + fill;
}

// Between two columns.
const std::string columnGap = "  ";

// The columns before the last record are as wide as their widest cell; the last record takes
// the room that is left on the line.
struct ColumnWidths {
  std::size_t device = 0, records = 0, lastSeen = 0, age = 0, state = 0;

  void widenFor(const DeviceWords &row) {
    device = std::max(device, displayWidth(row.device));
    records = std::max(records, row.records.size());
    lastSeen = std::max(lastSeen, row.lastSeen.size());
    age = std::max(age, row.age.size());
    state = std::max(state, row.state.size());
  }
  // Up to where the last record starts: the five columns, each with its gap.
  std::size_t beforeLast() const {
    return device + records + lastSeen + age + state + 5 * columnGap.size();
  }
};

// The last record is cut to fit the line, but is left this much room however narrow it is.
constexpr std::size_t leastRoomForLast = 20;

std::string cutToFit(const std::string &text, std::size_t room) {
  return text.size() > room ? text.substr(0, room - std::min<std::size_t>(room, 3)) + "..." : text;
}

// The last record and the notes after it, the record cut so that the notes fit if they can.
std::string lastColumn(const DeviceWords &row, std::size_t room) {
  if (row.notes.empty()) {
    return cutToFit(row.last, room);
  }
  if (row.last.empty()) {
    return row.notes;
  }
  // Long notes may make the line longer than the room, rather than hide the record.
  const std::size_t roomForRecord =
      std::max(leastRoomForLast, room - std::min(room, row.notes.size() + 1));
  return cutToFit(row.last, roomForRecord) + " " + row.notes;
}

std::string tableLine(const DeviceWords &row, const ColumnWidths &widths, std::size_t roomForLast) {
  std::string line = padded(row.device, widths.device) + columnGap +
                     padded(row.records, widths.records, true) + columnGap +
                     padded(row.lastSeen, widths.lastSeen) + columnGap +
                     padded(row.age, widths.age, true) + columnGap +
                     padded(row.state, widths.state) + columnGap + lastColumn(row, roomForLast);
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

// "3 files not in the device list: HELP, JRMI, gkrellm 0.0.0".
std::string notListedLine(const std::vector<std::string> &notListed) {
  std::string line = plural(notListed.size(), "file") + " not in the device list:";
  for (std::size_t i = 0; i < notListed.size(); ++i) {
    line += (i == 0 ? " " : ", ") + notListed[i];
  }
  return line;
}

} // namespace

std::string tableText(const Fleet &fleet, std::size_t width) {
  // The words of each row are worked out twice, to measure and to lay out, rather than held:
  // a fleet may have a hundred thousand rows.
  ColumnWidths widths;
  widths.widenFor(headings);
  for (const auto &device : fleet.devices) {
    widths.widenFor(wordsFor(device, fleet.window));
  }
  const std::size_t before = widths.beforeLast();
  const std::size_t roomForLast =
      width > before + leastRoomForLast ? width - before : leastRoomForLast;
  std::string text = tableLine(headings, widths, roomForLast) + "\n";
  for (const auto &device : fleet.devices) {
    text += tableLine(wordsFor(device, fleet.window), widths, roomForLast) + "\n";
  }
  text += fleetSummaryLine(fleet) + "\n";
  if (!fleet.notListed.empty()) {
    text += notListedLine(fleet.notListed) + "\n";
  }
  return text;
}
