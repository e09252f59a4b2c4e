// The device list's INI-like format: sections named by identifiers or kinds, keys, comments.

#include "devices/device_list.hpp"

#include "base/decimal.hpp"
#include "base/escaping.hpp"
#include "base/file_descriptor.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The blank-trimmed pieces between the commas of `text`.
std::vector<std::string_view> commaSeparated(std::string_view text) {
  std::vector<std::string_view> pieces;
  while (true) {
    const auto comma = text.find(',');
    pieces.push_back(trimmed(text.substr(0, comma)));
    if (comma == std::string_view::npos) {
      return pieces;
    }
    text.remove_prefix(comma + 1);
  }
}

// "field 5": what the fleet view calls a value field the list names not.
bool isUnnamedFieldsName(std::string_view name) {
  constexpr std::string_view prefix = "field ";
  return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
         name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
}

// Splits "temperature (°C), humidity (%)" into names and units.
std::vector<FieldName> parseFields(std::string_view text, const std::string &where) {
  std::vector<FieldName> fields;
  for (const std::string_view piece : commaSeparated(text)) {
    FieldName field;
    const auto open = piece.find('(');
    if (open != std::string_view::npos && piece.back() == ')') {
      field.name = std::string(trimmed(piece.substr(0, open)));
      field.unit = std::string(trimmed(piece.substr(open + 1, piece.size() - open - 2)));
    } else {
      field.name = std::string(piece);
    }
    if (field.name.empty()) {
      throw DeviceListError(where + "a field without a name");
    }
    // Each field is one series of the metrics, labelled by its name: two of one name, or a
    // name that unnamed fields are called by, would make two series one.
    const bool named = std::any_of(fields.begin(), fields.end(), [&](const FieldName &other) {
      return other.name == field.name;
    });
    if (named || isUnnamedFieldsName(field.name)) {
      throw DeviceListError(where + "the field name '" + field.name + "' is " +
                            (named ? "given twice" : "what unnamed fields are called"));
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

// `text` as a finite decimal such as "-3.5", or nothing: a number as values are read, but
// without an exponent, which the ranges of monitoring plugins do not write.
std::optional<double> finiteDecimal(std::string_view text) {
  if (text.find_first_of("eE") != std::string_view::npos) {
    return std::nullopt;
  }
  return decimalNumber(text);
}

// One end of a range, or what is wrong with it.
std::variant<double, std::string> rangeEnd(std::string_view text) {
  if (const auto value = finiteDecimal(text)) {
    return *value;
  }
  if (text == "~") {
    return "'~' stands for no start, before ':'";
  }
  return "'" + std::string(text) + "' is not a finite decimal number";
}

// Sets the ends of `range` from `body`, the range without its '@'; what is wrong with `body`
// when it is not a range. No start means 0, and '~' no start at all.
std::optional<std::string> setEnds(AlertRange &range, std::string_view body) {
  const auto colon = body.find(':');
  const std::string_view start = colon == std::string_view::npos ? "0" : body.substr(0, colon);
  const std::string_view end = body.substr(colon == std::string_view::npos ? 0 : colon + 1);
  if (end.find(':') != std::string_view::npos) {
    return "it has more than one ':'";
  }
  if (start.empty()) {
    return "nothing before ':', where 0 or '~' goes";
  }
  for (const auto &[text, value] : {std::pair{start, &range.start}, std::pair{end, &range.end}}) {
    if (text.empty() || (text == "~" && value == &range.start)) {
      continue;
    }
    auto number = rangeEnd(text);
    if (auto *why = std::get_if<std::string>(&number)) {
      return std::move(*why);
    }
    *value = std::get<double>(number);
  }
  if (!range.start && !range.end) {
    return "it has neither a start nor an end";
  }
  if (range.start && range.end && *range.start > *range.end) {
    return "its start is above its end";
  }
  return std::nullopt;
}

// Where the first control character in `line` starts, or npos. The tab is a blank; a C1
// control is U+0080 to U+009F, which UTF-8 writes as C2 80 to C2 9F.
std::size_t firstControlCharacter(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const bool c1 =
        byte == 0xc2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) <= 0x9f;
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f || c1) {
      return i;
    }
  }
  return std::string_view::npos;
}

// Names and units end up in a terminal's table, a web page and Prometheus labels, where a
// byte that is no character, or a control character, could garble or steer what is shown.
void refuseUnshowable(std::string_view line, const std::string &where) {
  const std::size_t invalid = firstInvalidUtf8(line);
  if (invalid != std::string_view::npos) {
    throw DeviceListError(where + "not UTF-8: byte " + printable(line.substr(invalid, 1)));
  }
  const std::size_t control = firstControlCharacter(line);
  if (control != std::string_view::npos) {
    throw DeviceListError(
        where + "a control character, " +
        printable(line.substr(control, utf8SequenceLength(line.substr(control)))));
  }
}

// One `FIELDNAME RANGE` of a warn or crit line, kept with its line until the fields are
// known: they may come from a kind defined further down, or from a later fields line.
struct RangeSetting {
  std::string field;
  AlertRange range;
  std::string where;
};

// A board's section, or a kind's, as written: a kind's name is in its device's identifier.
// The warn and crit lines of a section, until the fields are known.
struct RangeSettings {
  std::vector<RangeSetting> warn, crit;
};

// A section of the list as read so far. A list may hold hundreds of thousands: what most
// sections lack costs them a pointer, not a vector.
struct Section {
  Device device;
  std::unique_ptr<RangeSettings> ranges; // nullptr until a warn or crit line
  int kindLine = 0; // the line of a board's `kind =`, for a kind that is not defined
};

// "temperature 5:30": a field name, which may hold blanks, then a range after the last blank.
RangeSetting rangeSetting(std::string_view key, std::string_view piece, const std::string &where) {
  const auto blank = piece.find_last_of(" \t");
  if (blank == std::string_view::npos) {
    throw DeviceListError(where + std::string(key) +
                          " wants a field name and a range, such as 'temperature 5:30', not '" +
                          std::string(piece) + "'");
  }
  RangeSetting setting{std::string(trimmed(piece.substr(0, blank))), {}, where};
  const std::string_view text = piece.substr(blank + 1);
  auto range = parseAlertRange(text);
  if (const auto *why = std::get_if<std::string>(&range)) {
    throw DeviceListError(where + std::string(key) + " range '" + std::string(text) + "' for " +
                          setting.field + ": " + *why);
  }
  setting.range = std::get<AlertRange>(std::move(range));
  return setting;
}

void addRangeSettings(std::vector<RangeSetting> &settings, std::string_view key,
                      std::string_view text, const std::string &where) {
  const std::size_t before = settings.size();
  for (const std::string_view piece : commaSeparated(text)) {
    RangeSetting setting = rangeSetting(key, piece, where);
    if (std::any_of(settings.begin() + std::ptrdiff_t(before), settings.end(),
                    [&](const RangeSetting &other) { return other.field == setting.field; })) {
      throw DeviceListError(where + std::string(key) + " gives a range for '" + setting.field +
                            "' twice");
    }
    settings.push_back(std::move(setting));
  }
}

// The keys a board and a kind share.
bool setSharedKey(Section &section, std::string_view key, std::string_view value,
                  const std::string &where) {
  Device &device = section.device;
  if (key == "stale") {
    const auto seconds = parseDuration(value);
    if (!seconds) {
      throw DeviceListError(where + "stale must be a duration such as 90s, 15m, 2h or 7d, not '" +
                            std::string(value) + "'");
    }
    device.staleSeconds = seconds;
    device.staleText = std::string(value);
  } else if (key == "fields") {
    device.fields = parseFields(value, where);
  } else if (key == "warn" || key == "crit") {
    if (!section.ranges) {
      section.ranges = std::make_unique<RangeSettings>();
    }
    addRangeSettings(key == "warn" ? section.ranges->warn : section.ranges->crit, key, value,
                     where);
  } else {
    return false;
  }
  return true;
}

void setBoardKey(Section &section, std::string_view key, std::string_view value,
                 const std::string &where, int line) {
  if (key == "name") {
    section.device.name = std::string(value);
  } else if (key == "kind") {
    if (value.empty()) {
      throw DeviceListError(where + "a kind without a name");
    }
    section.device.kind = std::string(value);
    section.kindLine = line;
  } else if (!setSharedKey(section, key, value, where)) {
    throw DeviceListError(where + "unknown key '" + std::string(key) +
                          "' (name, kind, stale, fields, warn and crit are known)");
  }
}

// A kind has no name nor kind of its own: those are a board's.
void setKindKey(Section &section, std::string_view key, std::string_view value,
                const std::string &where, int /*line*/) {
  if (key == "name" || key == "kind") {
    throw DeviceListError(where + std::string(key) + " is a board's key, not a kind's");
  }
  if (!setSharedKey(section, key, value, where)) {
    throw DeviceListError(where + "unknown key '" + std::string(key) +
                          "' (stale, fields, warn and crit are known in a kind)");
  }
}

// The name a "[kind NAME]" header gives, or nothing when `inside`, the header without its
// brackets, names a board.
std::optional<std::string_view> kindOfHeader(std::string_view inside) {
  constexpr std::string_view word = "kind";
  if (inside.substr(0, word.size()) != word ||
      (inside.size() > word.size() && inside[word.size()] != ' ' && inside[word.size()] != '\t')) {
    return std::nullopt;
  }
  return trimmed(inside.substr(word.size()));
}

// The device an "[IDENTIFIER]" header starts, as yet without keys. An identifier of nothing
// but colons and hyphens has an empty key, which no board's identifier could match; one with a
// comma cannot be sent, the comma ending it, and one with a slash, a backslash, or that is a
// dot or two, would name a file outside the log directory, which the collector refuses.
Device deviceOfHeader(std::string_view identifier, const std::string &where) {
  Device device;
  device.identifier = std::string(identifier);
  device.key = deviceKey(identifier);
  if (device.key.empty()) {
    throw DeviceListError(where + "a section without a device identifier");
  }
  if (identifier.find_first_of(",/\\") != std::string_view::npos || device.key == "." ||
      device.key == "..") {
    throw DeviceListError(where + "no board can send the identifier " + device.identifier);
  }
  return device;
}

// Sets the ranges `settings` give on `fields`, each of which must name one of them: on a copy
// of its own, when the fields are a kind's.
void setRanges(Fields &shared, const std::vector<RangeSetting> &settings,
               std::optional<AlertRange> FieldName::*range, const std::string &key) {
  if (settings.empty()) {
    return;
  }
  std::vector<FieldName> fields = shared.all();
  for (const RangeSetting &setting : settings) {
    const auto field = std::find_if(fields.begin(), fields.end(), [&](const FieldName &named) {
      return named.name == setting.field;
    });
    if (field == fields.end()) {
      throw DeviceListError(setting.where + key + ": no field is named '" + setting.field + "'");
    }
    (*field).*range = setting.range;
  }
  shared = std::move(fields);
}

void setRanges(Fields &fields, std::unique_ptr<RangeSettings> &ranges) {
  if (ranges) {
    setRanges(fields, ranges->warn, &FieldName::warn, "warn");
    setRanges(fields, ranges->crit, &FieldName::crit, "crit");
    ranges.reset();
  }
}

// What `board` has of `kind`: its fields and stale unless it has its own, and the ranges of
// each field it shares with the kind by name, which its own warn and crit override later.
void inherit(Device &board, const Device &kind) {
  if (board.fields.empty()) {
    board.fields = kind.fields; // shared
  } else {
    std::vector<FieldName> own = board.fields.all();
    for (FieldName &field : own) {
      for (const FieldName &kindField : kind.fields) {
        if (kindField.name == field.name) {
          field.warn = kindField.warn;
          field.crit = kindField.crit;
        }
      }
    }
    board.fields = std::move(own);
  }
  if (!board.staleSeconds) {
    board.staleSeconds = kind.staleSeconds;
    board.staleText = kind.staleText;
  }
}

// The sections of a device list as read so far. Boards take what their kinds give once all is
// read, since a kind may be defined below the boards of its kind.
class Sections {
public:
  // `expectedBoards`: at least as many as the list holds, so that they are never moved.
  Sections(std::string fileName, std::size_t expectedBoards) : fileName_(std::move(fileName)) {
    boards_.reserve(expectedBoards);
  }

  void readLine(std::string_view line, const std::string &where, int lineNumber) {
    if (line.front() == '[' && line.back() == ']') {
      startSection(trimmed(line.substr(1, line.size() - 2)), where);
      return;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      throw DeviceListError(where + "neither a [device] header, a key = value line nor a comment");
    }
    if (current_ == nullptr) {
      throw DeviceListError(where + "a key before the first [device] header");
    }
    const std::string_view key = trimmed(line.substr(0, equals));
    // A tab within a value is a blank, as around it: a name or unit that kept it would break
    // the table's columns and the labels of performance data.
    std::string value(trimmed(line.substr(equals + 1)));
    std::replace(value.begin(), value.end(), '\t', ' ');
    (inKind_ ? setKindKey : setBoardKey)(*current_, key, value, where, lineNumber);
  }

  // The boards, each with what its kind gives it, and the key to each one's position.
  std::vector<Device> boards(std::unordered_map<std::string, std::size_t> &indexOfKey) {
    finishBoard();
    for (Section &kind : kinds_) {
      setRanges(kind.device.fields, kind.ranges);
    }
    for (std::size_t index = 0; index < boards_.size(); ++index) {
      Device &board = boards_[index];
      if (!board.kind.empty()) {
        const auto kind = indexOfKind_.find(board.kind);
        if (kind == indexOfKind_.end()) {
          throw DeviceListError(fileName_ + ":" + std::to_string(kindLines_[index]) +
                                ": unknown kind '" + board.kind + "': no [kind " + board.kind +
                                "] section defines it");
        }
        inherit(board, kinds_[kind->second].device);
      }
      if (const auto ranges = boardRanges_.find(index); ranges != boardRanges_.end()) {
        setRanges(board.fields, ranges->second);
      }
    }
    indexOfKey = std::move(indexOfKey_);
    return std::move(boards_);
  }

private:
  void startSection(std::string_view inside, const std::string &where) {
    const auto kind = kindOfHeader(inside);
    inKind_ = kind.has_value();
    if (inKind_) {
      startKind(std::string(*kind), where);
    } else {
      startBoard(deviceOfHeader(inside, where), where);
    }
  }

  void startKind(std::string name, const std::string &where) {
    if (name.empty()) {
      throw DeviceListError(where + "a kind without a name");
    }
    if (!indexOfKind_.emplace(name, kinds_.size()).second) {
      throw DeviceListError(where + "kind " + name + " is defined twice");
    }
    finishBoard();
    kinds_.emplace_back();
    kinds_.back().device.identifier = std::move(name);
    current_ = &kinds_.back();
  }

  void startBoard(Device device, const std::string &where) {
    finishBoard();
    if (!indexOfKey_.emplace(device.key, boards_.size()).second) {
      throw DeviceListError(where + "device " + device.identifier + " is listed twice");
    }
    board_.device = std::move(device);
    current_ = &board_;
    readingBoard_ = true;
  }

  // The board read is stored: a board costs its Device and the number of its `kind =` line
  // while the list is read, and a list is never held twice.
  void finishBoard() {
    if (!readingBoard_) {
      return;
    }
    if (board_.ranges) {
      boardRanges_.emplace(boards_.size(), std::move(board_.ranges));
    }
    boards_.push_back(std::move(board_.device));
    kindLines_.push_back(board_.kindLine);
    board_ = Section{};
    readingBoard_ = false;
  }

  std::string fileName_;
  std::vector<Device> boards_;
  std::vector<int> kindLines_; // of each board
  std::unordered_map<std::size_t, std::unique_ptr<RangeSettings>> boardRanges_;
  Section board_; // the board being read
  bool readingBoard_ = false;
  std::deque<Section> kinds_; // a deque grows without moving what it holds
  std::unordered_map<std::string, std::size_t> indexOfKey_, indexOfKind_;
  Section *current_ = nullptr; // the section the next key belongs to; the last one pushed
  bool inKind_ = false;
};

[[noreturn]] void cannotRead(const std::filesystem::path &file, const std::string &why) {
  throw DeviceListError("cannot read the device list " + file.string() + ": " + why);
}

[[noreturn]] void tooBig(const std::filesystem::path &file, const std::string &size) {
  cannotRead(file, "it holds " + size + " bytes; a device list may hold at most " +
                       std::to_string(maxDeviceListBytes >> 20) + " MiB");
}

// `file` opened for reading, when it is a regular file. Anything else is refused before a
// byte is read: a FIFO or a device could keep the collector waiting or feed it without end.
// The open itself does not wait for a FIFO's writer, nor make a terminal the controlling one.
FileDescriptor openRegularFile(const std::filesystem::path &file) {
  FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!descriptor.isOpen()) {
    // For reading, Linux gives ENXIO for a socket and for a device without its driver.
    cannotRead(file, errno == ENXIO ? "not a regular file" : std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0) {
    cannotRead(file, std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    cannotRead(file, "not a regular file");
  }
  if (static_cast<std::uintmax_t>(status.st_size) > maxDeviceListBytes) {
    tooBig(file, std::to_string(status.st_size));
  }
  return descriptor;
}

// All of the open `descriptor`, refused when it holds more than maxDeviceListBytes: a file
// that grows while it is read is not read beyond the bound.
std::string readWithinBound(int descriptor, const std::filesystem::path &file) {
  std::string contents;
  std::array<char, 65536> chunk{};
  while (contents.size() <= maxDeviceListBytes) {
    const std::size_t wanted = std::min(chunk.size(), maxDeviceListBytes + 1 - contents.size());
    const ssize_t got = ::read(descriptor, chunk.data(), wanted);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      cannotRead(file, std::strerror(errno));
    }
    if (got == 0) {
      return contents;
    }
    contents.append(chunk.data(), static_cast<std::size_t>(got));
  }
  tooBig(file, "more than " + std::to_string(maxDeviceListBytes));
}

} // namespace

bool alerts(const AlertRange &range, double value) {
  const bool within =
      (!range.start || value >= *range.start) && (!range.end || value <= *range.end);
  return within == range.inside;
}

std::variant<AlertRange, std::string> parseAlertRange(std::string_view text) {
  AlertRange range;
  range.inside = !text.empty() && text[0] == '@';
  const std::string_view body = text.substr(range.inside ? 1 : 0);
  if (body.empty()) {
    return range.inside ? "nothing follows '@'" : "it is empty";
  }
  if (auto why = setEnds(range, body)) {
    return std::move(*why);
  }
  range.text = std::string(text);
  return range;
}

std::string deviceKey(std::string_view identifier) {
  std::string key;
  for (const char c : identifier) {
    if (c != ':' && c != '-') {
      key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return key;
}

std::optional<std::int64_t> parseDuration(std::string_view text) {
  if (text.size() < 2 || text.size() > 10 ||
      text.find_first_not_of("0123456789") != text.size() - 1) {
    return std::nullopt;
  }
  const std::int64_t count = std::stoll(std::string(text.substr(0, text.size() - 1)));
  const auto unit = std::string_view("smhd").find(text.back());
  const std::int64_t unitSeconds[] = {1, 60, 3600, 86400};
  if (count <= 0 || unit == std::string_view::npos) {
    return std::nullopt;
  }
  return count * unitSeconds[unit];
}

const Device *DeviceList::find(std::string_view identifier) const {
  const auto found = indexOfKey_.find(deviceKey(identifier));
  return found == indexOfKey_.end() ? nullptr : &devices[found->second];
}

DeviceKeys::DeviceKeys(const DeviceList &list) {
  sorted_.reserve(list.devices.size());
  for (const Device &device : list.devices) {
    sorted_.push_back(device.key);
  }
  std::sort(sorted_.begin(), sorted_.end());
}

bool DeviceKeys::contains(std::string_view identifier) const {
  return std::binary_search(sorted_.begin(), sorted_.end(), deviceKey(identifier));
}

DeviceList parseDeviceList(std::string_view text, const std::string &fileName) {
  if (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
    text.remove_prefix(byteOrderMark.size());
  }
  // Each section starts a line with '[': no more boards than that.
  std::size_t headers = text.substr(0, 1) == "[" ? 1 : 0;
  for (auto at = text.find("\n["); at != std::string_view::npos; at = text.find("\n[", at + 1)) {
    ++headers;
  }
  Sections sections(fileName, headers);
  int lineNumber = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string where = fileName + ":" + std::to_string(++lineNumber) + ": ";
    refuseUnshowable(line, where);
    if (!line.empty() && line.front() != '#' && line.front() != ';') {
      sections.readLine(line, where, lineNumber);
    }
  }
  DeviceList list;
  list.devices = sections.boards(list.indexOfKey_);
  return list;
}

DeviceList readDeviceList(const std::filesystem::path &file) {
  const FileDescriptor descriptor = openRegularFile(file);
  return parseDeviceList(readWithinBound(descriptor.get(), file), file.string());
}
