#include "fleet/page.hpp"

#include "fleet/table.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>
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

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// A coordinate on the chart: a tenth of a pixel is as fine as a screen shows.
std::string pixel(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return {text, result.ptr};
}

constexpr const char *style = R"(
body { font: 14px system-ui, sans-serif; margin: 24px; color: #222; }
table { border-collapse: collapse; }
th, td { padding: 3px 10px; text-align: left; border-bottom: 1px solid #ddd; white-space: nowrap; }
td.n { text-align: right; }
td.last { white-space: normal; max-width: 40em; overflow-wrap: anywhere; }
tr.stale td { background: #fde2e2; }
tr.stale td.state { color: #b00020; font-weight: bold; }
section { margin-top: 28px; }
h2 { font-size: 16px; margin: 0 0 6px; overflow-wrap: anywhere; }
svg.chart { background: #fafafa; border: 1px solid #ddd; }
svg.chart text { font: 11px system-ui, sans-serif; fill: #555; }
.legend span { margin-right: 14px; }
.legend i { display: inline-block; width: 14px; height: 3px; vertical-align: middle; margin-right: 4px; }
.legend i.silence { height: 10px; background: #e4e4e4; }
)";

const char *const colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
                               "#e377c2", "#7f7f7f", "#bcbd22", "#17becf", "#393b79", "#637939"};

// Lines with this few points also show each point.
constexpr std::size_t sparsePoints = 30;

constexpr double chartWidth = 720;
constexpr double chartHeight = 180;
constexpr double left = 64; // room for the value labels
constexpr double right = 12;
constexpr double top = 12;
constexpr double bottom = 26; // room for the time labels

// The number an operator gives the first value field of a record: the one after the
// identifier, counting from 1 as the operator counts fields.
constexpr std::size_t firstValueFieldNumber = identifierField + 2;

const char *colourOf(std::size_t field) {
  return colours[field % std::size(colours)];
}

// The area inside the chart's margins, and where a time and a value fall in it.
struct Plot {
  static constexpr double width = chartWidth - left - right;
  static constexpr double height = chartHeight - top - bottom;
  const ChartScales &scales;

  double x(std::time_t time) const {
    return left + width * std::clamp(double(time - scales.start) / double(scales.span), 0.0, 1.0);
  }
  // In halves, so that a range from -1e308 to 1e308 does not overflow.
  double y(double value) const {
    return top + height * ((scales.high / 2 - value / 2) / (scales.high / 2 - scales.low / 2));
  }
};

// The drawing area, its axes and the value range at the top and bottom of the value axis.
void writeFrame(std::ostream &out, const ChartScales &scales) {
  const double bottomEdge = top + Plot::height;
  out << "<svg class='chart' xmlns='http://www.w3.org/2000/svg' width='" << chartWidth
      << "' height='" << chartHeight << "' viewBox='0 0 " << chartWidth << ' ' << chartHeight
      << "' role='img'>\n";
  out << "<line x1='" << left << "' y1='" << bottomEdge << "' x2='" << left + Plot::width
      << "' y2='" << bottomEdge << "' stroke='#999'/>\n";
  out << "<line x1='" << left << "' y1='" << top << "' x2='" << left << "' y2='" << bottomEdge
      << "' stroke='#999'/>\n";
  out << "<text x='" << left - 6 << "' y='" << top + 4 << "' text-anchor='end'>"
      << number(scales.high) << "</text>\n";
  out << "<text x='" << left - 6 << "' y='" << bottomEdge << "' text-anchor='end'>"
      << number(scales.low) << "</text>\n";
}

// A window of a day or less is read by the time of day; a longer one needs the date too.
std::string tickLabel(std::time_t time, const ChartScales &scales) {
  return formatLocalTime(time, scales.span <= 86400 ? "%H:%M" : "%m-%d %H:%M");
}

void writeTimeTicks(std::ostream &out, const Plot &plot) {
  constexpr int ticks = 5;
  const double bottomEdge = top + Plot::height;
  for (int i = 0; i < ticks; ++i) {
    const std::time_t t = plot.scales.start + plot.scales.span * i / (ticks - 1);
    const char *anchor = i == 0 ? "start" : i == ticks - 1 ? "end" : "middle";
    out << "<line x1='" << plot.x(t) << "' y1='" << bottomEdge << "' x2='" << plot.x(t) << "' y2='"
        << bottomEdge + 4 << "' stroke='#999'/>"
        << "<text x='" << plot.x(t) << "' y='" << chartHeight - 6 << "' text-anchor='" << anchor
        << "'>" << tickLabel(t, plot.scales) << "</text>\n";
  }
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
      out << "<polyline class='field" << field + firstValueFieldNumber
          << "' fill='none' stroke-width='1.5' stroke='" << colour << "' points='" << line
          << "'/>\n";
    }
    if (to - from == 1 || points.size() <= sparsePoints) {
      writeDots(out, colour, from, to);
    }
    from = to;
  }
}

// Each silence as a grey band across the chart, with its length as the band's tooltip.
void writeSilences(std::ostream &out, const std::vector<Silence> &silences, const Plot &plot) {
  for (const Silence &silence : silences) {
    const double from = plot.x(silence.from);
    out << "<rect class='silence' x='" << pixel(from) << "' y='" << top << "' width='"
        << pixel(plot.x(silence.to) - from) << "' height='" << Plot::height
        << "' fill='#e4e4e4'><title>no record for " << formatAge(silence.to - silence.from)
        << "</title></rect>\n";
  }
}

void writeLegend(std::ostream &out, std::size_t fields, bool silences, std::int64_t silence) {
  out << "<div class='legend'>";
  for (std::size_t f = 0; f < fields; ++f) {
    out << "<span><i style='background:" << colourOf(f) << "'></i>field "
        << f + firstValueFieldNumber << "</span>";
  }
  if (silences) {
    out << "<span><i class='silence'></i>no record for more than " << formatAge(silence)
        << "</span>";
  }
  out << "</div>\n";
}

// The numeric fields of the device's records, each as a line against time, broken where the
// device was silent.
void writeChart(std::ostream &out, const DeviceSummary &device, const ChartScales &scales,
                const Window &window) {
  const Plot plot{scales};
  const std::int64_t silence = silenceThreshold(device, window);
  const auto silences = silencesOf(device.chart, silence, window.now);
  writeFrame(out, scales);
  writeSilences(out, silences, plot);
  writeTimeTicks(out, plot);
  for (std::size_t f = 0; f < scales.fields; ++f) {
    writeFieldLine(out, device.chart, f, plot, silence);
  }
  out << "</svg>\n";
  writeLegend(out, scales.fields, !silences.empty(), silence);
}

// The device's chart, or why it has none.
std::string drawingOf(const DeviceSummary &device, const Window &window) {
  std::ostringstream out;
  if (device.records == 0) {
    out << "<p class='none'>No record in the last " << escaped(window.since.text) << ".</p>\n";
  } else if (device.chart.empty()) {
    out << "<p class='none'>No record with a time in the last " << escaped(window.since.text)
        << ".</p>\n";
  } else if (const auto scales = chartScales(device.chart, window)) {
    writeChart(out, device, *scales, window);
  } else {
    out << "<p>No numeric field in the records of the window.</p>\n";
  }
  return out.str();
}

// Room either side of a flat chart's one value; at the edge of what a double holds, all of it
// on the side that has room.
void widenFlat(ChartScales &scales) {
  const double value = scales.low;
  const double room = std::max(1.0, std::abs(value) / 1024);
  scales.low = value - room;
  scales.high = value + room;
  if (!std::isfinite(scales.high)) {
    scales.high = value;
    scales.low = value - 2 * room;
  } else if (!std::isfinite(scales.low)) {
    scales.low = value;
    scales.high = value + 2 * room;
  }
}

void writeTable(std::ostream &out, const std::vector<DeviceSummary> &devices,
                const Window &window) {
  out << "<table>\n<tr><th>" << tableHeadings.device << "</th><th>" << tableHeadings.records
      << "</th><th>" << tableHeadings.lastSeen << "</th><th>" << tableHeadings.age << "</th><th>"
      << tableHeadings.state << "</th><th>" << tableHeadings.last << "</th></tr>\n";
  for (const auto &device : devices) {
    const TableRow row = tableRow(device, window);
    out << "<tr" << (isStale(device, window) ? " class='stale'" : "") << "><td>"
        << escaped(row.device) << "</td><td class='n'>" << row.records << "</td><td>"
        << row.lastSeen << "</td><td class='n'>" << row.age << "</td><td class='state'>"
        << row.state << "</td><td class='last'>" << escaped(row.last)
        << (row.last.empty() || row.notes.empty() ? "" : " ") << escaped(row.notes)
        << "</td></tr>\n";
  }
  out << "</table>\n<p>" << escaped(fleetSummaryLine(devices, window)) << "</p>\n";
}

} // namespace

std::optional<ChartScales> chartScales(const std::map<long, ChartSlice> &chart,
                                       const Window &window) {
  ChartScales scales{windowStart(window), window.since.seconds};
  bool any = false;
  for (const auto &[slice, data] : chart) {
    scales.fields = std::max(scales.fields, data.means.size());
    for (std::size_t f = 0; f < data.means.size(); ++f) {
      if (data.counts[f] > 0) {
        const double average = data.means[f];
        scales.low = any ? std::min(scales.low, average) : average;
        scales.high = any ? std::max(scales.high, average) : average;
        any = true;
      }
    }
  }
  if (!any) {
    return std::nullopt;
  }
  if (scales.high == scales.low) {
    widenFlat(scales);
  }
  return scales;
}

std::int64_t silenceThreshold(const DeviceSummary &device, const Window &window) {
  const auto usual = device.intervals.usual();
  const double fiveIntervals = usual ? 5 * *usual : double(window.stale.seconds);
  return std::min(window.stale.seconds, static_cast<std::int64_t>(std::ceil(fiveIntervals)));
}

std::vector<Silence> silencesOf(const std::map<long, ChartSlice> &chart, std::int64_t threshold,
                                std::time_t now) {
  std::vector<Silence> silences;
  const ChartSlice *previous = nullptr;
  for (const auto &[slice, data] : chart) {
    if (previous != nullptr && data.first - previous->time > threshold) {
      silences.push_back({previous->time, data.first});
    }
    previous = &data;
  }
  if (previous != nullptr && now - previous->time > threshold) {
    silences.push_back({previous->time, now});
  }
  return silences;
}

std::string pageStart(const std::vector<DeviceSummary> &devices, const Window &window) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
      << "<title>Fleet: " << escaped(fleetSummaryLine(devices, window)) << "</title>\n<style>"
      << style << "</style>\n</head>\n<body>\n<h1>Fleet at " << formatLocalTime(window.now)
      << "</h1>\n";
  writeTable(out, devices, window);
  return out.str();
}

std::string deviceSection(const DeviceSummary &device, const Window &window) {
  return "<section class='device'>\n<h2>" + escaped(shownName(device)) + "</h2>\n" +
         drawingOf(device, window) + "</section>\n";
}

std::string pageEnd() {
  return "</body>\n</html>\n";
}
