#include "fleet/render/page.hpp"

#include "fleet/render/chart.hpp"
#include "fleet/render/text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <ostream>
#include <utility>
#include <vector>

namespace {

// Texts from device files come from the network: none of them may become markup.
std::string escaped(const std::string &text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

std::string lowerCase(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

// A coordinate on the chart: a tenth of a pixel is as fine as a screen shows.
std::string pixel(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return {text, result.ptr};
}

constexpr const char *style = R"(
body { font: 14px system-ui, sans-serif; margin: 16px 24px; color: #222; }
table { border-collapse: collapse; }
th, td { padding: 3px 10px; text-align: left; border-bottom: 1px solid #ddd; white-space: nowrap; }
td.n { text-align: right; }
td.device { white-space: normal; min-width: 8em; max-width: 24em; overflow-wrap: anywhere; }
td.last { white-space: normal; max-width: 40em; overflow-wrap: anywhere; }
@media (max-width: 720px) {
  body { margin: 8px; }
  th, td { padding: 3px 6px; }
  .wide { display: none; }
  td.last { max-width: none; }
}
tr.stale td, tr.critical td { background: #fde2e2; }
tr.warning td { background: #fff3cd; }
tr.unknown td { background: #ececec; }
tr.stale td.state, tr.critical td.state { color: #b00020; font-weight: bold; }
tr.warning td.state, tr.unknown td.state { font-weight: bold; }
td a { color: inherit; }
.panel.critical h3 .state { color: #b00020; }
.panel.warning h3 .state { color: #8a6100; }
.name { color: #555; font-weight: normal; margin-left: 10px; }
section { margin-top: 24px; }
h2 { font-size: 16px; margin: 0 0 4px; overflow-wrap: anywhere; }
h3 { font-size: 13px; margin: 8px 0 2px; font-weight: 600; }
h3 .stats { font-weight: normal; color: #555; margin-left: 12px; }
svg.chart { display: block; width: 100%; min-width: 760px; height: auto; background: #fcfcfc; }
svg.chart text { font: 12px system-ui, sans-serif; fill: #555; }
svg.chart .hover rect { fill: #000; fill-opacity: 0; }
svg.chart .hover rect:hover { fill-opacity: 0.06; }
.legend span { margin-right: 14px; font-size: 12px; color: #555; }
.legend i { display: inline-block; width: 14px; height: 10px; vertical-align: middle; margin-right: 4px; background: #e4e4e4; }
ul.unlisted { columns: 16em; }
)";

const char *const colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
                               "#e377c2", "#7f7f7f", "#bcbd22", "#17becf", "#393b79", "#637939"};

// Lines with this few points also show each point.
constexpr std::size_t sparsePoints = 30;

// A panel's coordinates: the page scales them to the window's width, but to no less than
// 760 pixels, below which its text would be too small to read (the page scrolls instead).
constexpr double chartWidth = 1000;
constexpr double chartHeight = 150;
constexpr double left = 64; // room for the value labels
constexpr double right = 14;
constexpr double top = 8;
constexpr double bottom = 36; // room for the time labels and the dates under them

// Hovering a panel tells its values in this many bands across its width.
constexpr long hoverBands = 48;

const char *colourOf(std::size_t field) {
  return colours[field % std::size(colours)];
}

// The area inside a panel's margins, and where a time and a value fall in it.
struct Plot {
  static constexpr double width = chartWidth - left - right;
  static constexpr double height = chartHeight - top - bottom;
  std::time_t start = 0;
  std::int64_t span = 1;
  const ValueAxis &axis;

  double x(std::time_t time) const {
    return left + width * std::clamp(double(time - start) / double(span), 0.0, 1.0);
  }
  // In halves, so that a range from -1e308 to 1e308 does not overflow.
  double y(double value) const {
    return top + height * ((axis.high / 2 - value / 2) / (axis.high / 2 - axis.low / 2));
  }
};

// The frame, the value ticks with their light grid lines, and the time ticks.
void writeAxes(std::ostream &out, const Plot &plot, const std::vector<TimeTick> &ticks) {
  const double bottomEdge = top + Plot::height;
  out << "<g stroke='#e6e6e6'>";
  for (const double value : plot.axis.ticks) {
    out << "<line x1='" << left << "' y1='" << pixel(plot.y(value)) << "' x2='"
        << left + Plot::width << "' y2='" << pixel(plot.y(value)) << "'/>";
  }
  for (const TimeTick &tick : ticks) {
    out << "<line x1='" << pixel(plot.x(tick.time)) << "' y1='" << top << "' x2='"
        << pixel(plot.x(tick.time)) << "' y2='" << bottomEdge << "'/>";
  }
  out << "</g>\n<g text-anchor='end'>";
  for (const double value : plot.axis.ticks) {
    out << "<text x='" << left - 6 << "' y='" << pixel(plot.y(value) + 4) << "'>"
        << tickText(value, plot.axis.step) << "</text>";
  }
  out << "</g>\n<g text-anchor='middle'>";
  for (const TimeTick &tick : ticks) {
    const std::string x = pixel(plot.x(tick.time));
    out << "<line x1='" << x << "' y1='" << bottomEdge << "' x2='" << x << "' y2='"
        << bottomEdge + 4 << "' stroke='#999'/><text x='" << x << "' y='" << bottomEdge + 16 << "'>"
        << tick.text << "</text>";
    if (!tick.date.empty()) {
      out << "<text x='" << x << "' y='" << bottomEdge + 30 << "' font-weight='bold'>" << tick.date
          << "</text>";
    }
  }
  out << "</g>\n<path d='M" << left << ' ' << top << "V" << bottomEdge << "H" << left + Plot::width
      << "' fill='none' stroke='#999'/>\n";
}

// One point of a field's line, as the coordinates written on the page, and the stretch of
// records between two silences that it belongs to.
struct Point {
  std::string x, y;
  std::size_t stretch = 0;
};

std::vector<Point> pointsOf(const std::map<long, ChartSlice> &chart, std::size_t field,
                            const Plot &plot, std::int64_t silence) {
  std::vector<Point> points;
  std::size_t stretch = 0;
  const ChartSlice *previous = nullptr;
  for (const auto &[slice, data] : chart) {
    if (previous != nullptr && data.first - previous->time > silence) {
      ++stretch;
    }
    previous = &data;
    if (field < data.means.size() && data.counts[field] > 0) {
      points.push_back({pixel(plot.x(data.time)), pixel(plot.y(data.means[field])), stretch});
    }
  }
  return points;
}

void writeDots(std::ostream &out, const char *colour, std::vector<Point>::const_iterator from,
               std::vector<Point>::const_iterator to) {
  out << "<g fill='" << colour << "'>";
  for (auto point = from; point != to; ++point) {
    out << "<circle cx='" << point->x << "' cy='" << point->y << "' r='2.5'/>";
  }
  out << "</g>\n";
}

// One line for each stretch between silences; a point alone in its stretch, or in a line of
// few points, is shown as a dot, which a line alone would hide.
void writeFieldLine(std::ostream &out, const std::map<long, ChartSlice> &chart, std::size_t field,
                    const Plot &plot, std::int64_t silence) {
  const auto points = pointsOf(chart, field, plot, silence);
  const char *colour = colourOf(field);
  for (auto from = points.begin(); from != points.end();) {
    const auto to = std::find_if(
        from, points.end(), [&](const Point &point) { return point.stretch != from->stretch; });
    if (to - from > 1) {
      std::string line;
      for (auto point = from; point != to; ++point) {
        line.append(point->x).append(1, ',').append(point->y).append(1, ' ');
      }
      out << "<polyline fill='none' stroke-width='1.5' stroke='" << colour << "' points='" << line
          << "'/>\n";
    }
    if (to - from == 1 || points.size() <= sparsePoints) {
      writeDots(out, colour, from, to);
    }
    from = to;
  }
}

// Each silence as a grey band across the panel, with its length as the band's tooltip.
void writeSilences(std::ostream &out, const std::vector<Silence> &silences, const Plot &plot) {
  for (const Silence &silence : silences) {
    const double from = plot.x(silence.from);
    out << "<rect class='silence' x='" << pixel(from) << "' y='" << top << "' width='"
        << pixel(plot.x(silence.to) - from) << "' height='" << Plot::height
        << "' fill='#e4e4e4'><title>no record for " << formatAge(silence.to - silence.from)
        << "</title></rect>\n";
  }
}

// The values of one band of the panel, for its tooltip.
struct Band {
  std::time_t from = 0, to = 0; // of its first and last slice
  FieldStats stats;
};

// Bands across the panel, each an invisible rectangle whose tooltip tells the values in it:
// hovering shows them without a script.
void writeHoverBands(std::ostream &out, const std::map<long, ChartSlice> &chart, std::size_t field,
                     const Plot &plot, const ValueAxis &axis, const std::string &unit) {
  std::map<long, Band> bands;
  for (const auto &[number, slice] : chart) {
    if (field < slice.means.size() && slice.counts[field] > 0) {
      const long band = std::clamp<long>(
          static_cast<long>(double(slice.time - plot.start) / double(plot.span) * hoverBands), 0,
          hoverBands - 1);
      Band &target = bands[band];
      target.from = target.stats.records == 0 ? slice.first : target.from;
      target.to = slice.time;
      addToStats(target.stats, slice, field);
    }
  }
  const double bandWidth = Plot::width / hoverBands;
  out << "<g class='hover'>";
  for (const auto &[band, data] : bands) {
    const FieldStats *stats = &data.stats;
    out << "<rect x='" << pixel(left + bandWidth * double(band)) << "' y='" << top << "' width='"
        << pixel(bandWidth) << "' height='" << Plot::height << "'><title>"
        << formatLocalTime(data.from, "%Y-%m-%d %H:%M");
    if (data.to != data.from) {
      out << " to " << formatLocalTime(data.to, "%H:%M");
    }
    out << ": ";
    if (stats->low == stats->high) {
      out << figureText(stats->low, axis.step);
    } else {
      out << figureText(stats->low, axis.step) << " to " << figureText(stats->high, axis.step)
          << ", mean " << figureText(stats->mean, axis.step);
    }
    out << unit << " (" << stats->records << (stats->records == 1 ? " record" : " records")
        << ")</title></rect>";
  }
  out << "</g>\n";
}

// Where the field's warning and critical ranges alert, as bands behind its line: pale yellow
// and pale red, the critical ones over the warning ones.
void writeRangeBands(std::ostream &out, const DeviceField &field, const Plot &plot) {
  const double lowest = -std::numeric_limits<double>::infinity();
  const double highest = std::numeric_limits<double>::infinity();
  for (const auto &[range, colour] :
       {std::pair{field.warn(), "#fff3cd"}, std::pair{field.crit(), "#f8d7da"}}) {
    if (range == nullptr) {
      continue;
    }
    const double start = range->start.value_or(lowest);
    const double end = range->end.value_or(highest);
    const std::vector<std::pair<double, double>> zones =
        range->inside ? std::vector<std::pair<double, double>>{{start, end}}
                      : std::vector<std::pair<double, double>>{{lowest, start}, {end, highest}};
    for (const auto &[from, to] : zones) {
      const double low = std::max(from, plot.axis.low);
      const double high = std::min(to, plot.axis.high);
      if (low < high) {
        out << "<rect class='range' x='" << left << "' y='" << pixel(plot.y(high)) << "' width='"
            << Plot::width << "' height='" << pixel(plot.y(low) - plot.y(high)) << "' fill='"
            << colour << "'/>\n";
      }
    }
  }
}

// One field's panel: its heading with its figures, then its line against a scale of its own,
// marked when its last value is out of its range.
void writePanel(std::ostream &out, const FleetDevice &device, const DeviceChart &chart,
                std::size_t index, const Window &window, const std::vector<TimeTick> &ticks) {
  const DeviceField field = fieldOf(device, index);
  const std::string label = escaped(fieldLabel(field));
  const auto stats = fieldStats(chart.slices, index);
  const bool marked = field.state != FieldState::ok;
  out << "<div class='panel" << (marked ? " " + lowerCase(stateWord(field.state)) : "")
      << "'>\n<h3>" << label;
  if (marked) {
    out << " <span class='state'>" << stateWord(field.state) << "</span>";
  }
  if (!stats) {
    out << " <span class='stats'>no number in the window</span></h3>\n</div>\n";
    return;
  }
  const ValueAxis axis = valueAxis(stats->low, stats->high);
  const std::string unit = field.unit().empty() ? "" : " " + escaped(std::string(field.unit()));
  // The last record's value, as the table and the metrics give it; the chart's last point
  // where that record has no number there.
  out << " <span class='stats'>last " << figureText(field.last.value_or(stats->last), axis.step)
      << unit << " · min " << figureText(stats->low, axis.step) << " · max "
      << figureText(stats->high, axis.step) << " · mean " << figureText(stats->mean, axis.step)
      << "</span></h3>\n";
  const Plot plot{windowStart(window), std::max<std::int64_t>(1, window.since.seconds), axis};
  out << "<svg class='chart' xmlns='http://www.w3.org/2000/svg' viewBox='0 0 " << chartWidth << ' '
      << chartHeight << "' width='100%' role='img'><title>" << label << "</title>\n";
  writeRangeBands(out, field, plot);
  writeSilences(out, chart.silences, plot);
  writeAxes(out, plot, ticks);
  writeFieldLine(out, chart.slices, index, plot, chart.silenceThreshold);
  writeHoverBands(out, chart.slices, index, plot, axis, unit);
  out << "</svg>\n</div>\n";
}

// A panel for each numeric field of the device's records, broken where the device was silent.
void writePanels(std::ostream &out, const FleetDevice &device, const DeviceChart &chart,
                 const Window &window) {
  const auto ticks = timeTicks(windowStart(window), window.now);
  for (std::size_t f = 0; f < chart.fields; ++f) {
    writePanel(out, device, chart, f, window, ticks);
  }
  if (!chart.silences.empty()) {
    out << "<div class='legend'><span><i></i>no record for more than "
        << formatAge(chart.silenceThreshold) << "</span></div>\n";
  }
}

// The device's panels, or why it has none.
void writeDrawing(std::ostream &out, const FleetDevice &device, const DeviceChart &chart,
                  const Window &window) {
  bool numbers = false;
  for (std::size_t f = 0; f < chart.fields && !numbers; ++f) {
    numbers = fieldStats(chart.slices, f).has_value();
  }
  if (device.neverReported) {
    out << "<p class='none'>Never reported.</p>\n";
  } else if (device.records == 0) {
    out << "<p class='none'>No record in the last " << escaped(window.since.text) << ".</p>\n";
  } else if (chart.slices.empty()) {
    out << "<p class='none'>No record with a time in the last " << escaped(window.since.text)
        << ".</p>\n";
  } else if (numbers) {
    writePanels(out, device, chart, window);
  } else {
    out << "<p>No numeric field in the records of the window.</p>\n";
  }
}

// The identifier, and beside it the name the device list gives.
std::string headingOf(const FleetDevice &device) {
  std::string heading = escaped(device.identifier);
  if (!device.name.empty()) {
    heading += "<span class='name'>" + escaped(device.name) + "</span>";
  }
  return heading;
}

// The table's rows link to their device's section below, which `sectionId` names after its
// identifier, so that a bookmark leads to the same board whatever the order: letters, digits,
// '-', '.' and ':' as they are, any other byte as '_' and its two hex digits.
std::string sectionId(const FleetDevice &device) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string id = "device-";
  for (const char c : device.identifier) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == ':') {
      id += c;
    } else {
      id += {'_', hex[byte >> 4U], hex[byte & 0xfU]};
    }
  }
  return id;
}

void writeTable(std::ostream &out, const Fleet &fleet) {
  // On a narrow screen, the device, its age, its state and its last record.
  out << "<table>\n<tr><th>" << headings.device << "</th><th class='wide'>" << headings.records
      << "</th><th class='wide'>" << headings.lastSeen << "</th><th>" << headings.age << "</th><th>"
      << headings.state << "</th><th>" << headings.last << "</th></tr>\n";
  for (const FleetDevice &device : fleet.devices) {
    const DeviceWords row = wordsFor(device, fleet.window);
    out << "<tr class='" << lowerCase(stateWord(device.state)) << "'><td class='device'><a href='#"
        << sectionId(device) << "'>" << escaped(row.device) << "</a></td><td class='n wide'>"
        << row.records << "</td><td class='wide'>" << row.lastSeen << "</td><td class='n'>"
        << row.age << "</td><td class='state'>" << row.state << "</td><td class='last'>"
        << escaped(row.last) << (row.last.empty() || row.notes.empty() ? "" : " ")
        << escaped(row.notes) << "</td></tr>\n";
  }
  out << "</table>\n<p>" << escaped(fleetSummaryLine(fleet)) << "</p>\n";
}

// Files of the log directory that the device list does not name: not devices, but worth a look.
void writeFilesNotInList(std::ostream &out, const std::vector<std::string> &files) {
  if (files.empty()) {
    return;
  }
  out << "<section class='unlisted'>\n<h2>" << files.size()
      << (files.size() == 1 ? " file" : " files") << " not in the device list</h2>\n"
      << "<ul class='unlisted'>";
  for (const std::string &file : files) {
    out << "<li>" << escaped(file) << "</li>";
  }
  out << "</ul>\n</section>\n";
}

} // namespace

void writePage(std::ostream &out, const Fleet &fleet, const ChartReader &chartOf) {
  out << "<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
      << "<title>Fleet: " << escaped(fleetSummaryLine(fleet)) << "</title>\n<style>" << style
      << "</style>\n</head>\n<body>\n<h1>Fleet at " << formatLocalTime(fleet.window.now)
      << "</h1>\n";
  writeTable(out, fleet);
  writeFilesNotInList(out, fleet.notListed);
  for (const FleetDevice &device : fleet.devices) {
    out << "<section class='device' id='" << sectionId(device) << "'>\n<h2>" << headingOf(device)
        << "</h2>\n";
    writeDrawing(out, device, chartOf(device), fleet.window);
    out << "</section>\n";
  }
  out << "</body>\n</html>\n";
}
