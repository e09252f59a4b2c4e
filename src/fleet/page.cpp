#include "fleet/fleet.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <charconv>
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

std::string tickLabel(std::time_t time, const Window &window) {
  return formatLocalTime(time, window.since <= 86400 ? "%H:%M" : "%m-%d %H:%M");
}

// The numeric fields of the device's records, each as a line against time.
void writeChart(std::ostream &out, const DeviceSummary &device, const Window &window) {
  std::size_t fields = 0;
  double low = 0;
  double high = 0;
  bool any = false;
  for (const auto &[slice, data] : device.chart) {
    fields = std::max(fields, data.sums.size());
    for (std::size_t f = 0; f < data.sums.size(); ++f) {
      if (data.counts[f] > 0) {
        const double value = data.sums[f] / data.counts[f];
        low = any ? std::min(low, value) : value;
        high = any ? std::max(high, value) : value;
        any = true;
      }
    }
  }
  if (!any) {
    out << "<p>No numeric field in the records of the window.</p>\n";
    return;
  }
  if (high == low) {
    high += 1;
    low -= 1;
  }
  const std::time_t start = windowStart(window);
  const double plotWidth = chartWidth - left - right;
  const double plotHeight = chartHeight - top - bottom;
  const auto x = [&](std::time_t t) {
    return left + plotWidth * std::clamp(double(t - start) / double(window.since), 0.0, 1.0);
  };
  const auto y = [&](double v) {
    return top + plotHeight * (high - v) / (high - low);
  };

  out << "<svg class='chart' xmlns='http://www.w3.org/2000/svg' width='" << chartWidth
      << "' height='" << chartHeight << "' viewBox='0 0 " << chartWidth << ' ' << chartHeight
      << "' role='img'>\n";
  out << "<line x1='" << left << "' y1='" << top + plotHeight << "' x2='" << left + plotWidth
      << "' y2='" << top + plotHeight << "' stroke='#999'/>\n";
  out << "<line x1='" << left << "' y1='" << top << "' x2='" << left << "' y2='" << top + plotHeight
      << "' stroke='#999'/>\n";
  out << "<text x='" << left - 6 << "' y='" << top + 4 << "' text-anchor='end'>" << number(high)
      << "</text>\n";
  out << "<text x='" << left - 6 << "' y='" << top + plotHeight << "' text-anchor='end'>"
      << number(low) << "</text>\n";
  constexpr int ticks = 5;
  for (int i = 0; i < ticks; ++i) {
    const std::time_t t = start + window.since * i / (ticks - 1);
    const char *anchor = i == 0 ? "start" : i == ticks - 1 ? "end" : "middle";
    out << "<line x1='" << x(t) << "' y1='" << top + plotHeight << "' x2='" << x(t) << "' y2='"
        << top + plotHeight + 4 << "' stroke='#999'/>"
        << "<text x='" << x(t) << "' y='" << chartHeight - 6 << "' text-anchor='" << anchor << "'>"
        << tickLabel(t, window) << "</text>\n";
  }
  for (std::size_t f = 0; f < fields; ++f) {
    std::vector<std::pair<std::string, std::string>> points;
    for (const auto &[slice, data] : device.chart) {
      if (f < data.sums.size() && data.counts[f] > 0) {
        points.emplace_back(pixel(x(data.time)), pixel(y(data.sums[f] / data.counts[f])));
      }
    }
    const char *colour = colours[f % std::size(colours)];
    if (points.size() > 1) {
      std::string line;
      for (const auto &[px, py] : points) {
        line.append(px).append(1, ',').append(py).append(1, ' ');
      }
      out << "<polyline class='field" << f + 3 << "' fill='none' stroke-width='1.5' stroke='"
          << colour << "' points='" << line << "'/>\n";
    }
    if (!points.empty() && points.size() <= sparsePoints) { // a line alone hides where they are
      out << "<g fill='" << colour << "'>";
      for (const auto &[px, py] : points) {
        out << "<circle cx='" << px << "' cy='" << py << "' r='2.5'/>";
      }
      out << "</g>\n";
    }
  }
  out << "</svg>\n<div class='legend'>";
  for (std::size_t f = 0; f < fields; ++f) {
    out << "<span><i style='background:" << colours[f % std::size(colours)] << "'></i>field "
        << f + 3 << "</span>";
  }
  out << "</div>\n";
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
        << row.state << "</td><td class='last'>" << escaped(row.last) << "</td></tr>\n";
  }
  out << "</table>\n<p>" << escaped(fleetSummaryLine(devices, window)) << "</p>\n";
}

} // namespace

std::string drawChart(const DeviceSummary &device, const Window &window) {
  std::ostringstream out;
  if (device.records == 0) {
    out << "<p class='none'>No record in the last " << escaped(window.sinceText) << ".</p>\n";
  } else if (device.chart.empty()) {
    out << "<p class='none'>No record with a time in the last " << escaped(window.sinceText)
        << ".</p>\n";
  } else {
    writeChart(out, device, window);
  }
  return out.str();
}

void writePage(std::ostream &out, const std::vector<DeviceSummary> &devices, const Window &window) {
  out << "<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
      << "<title>Fleet: " << escaped(fleetSummaryLine(devices, window)) << "</title>\n<style>"
      << style << "</style>\n</head>\n<body>\n<h1>Fleet at " << formatLocalTime(window.now)
      << "</h1>\n";
  writeTable(out, devices, window);
  for (const auto &device : devices) {
    out << "<section class='device'>\n<h2>" << escaped(printable(device.name)) << "</h2>\n"
        << device.drawing << "</section>\n";
  }
  out << "</body>\n</html>\n";
}
