#include "fleet/prometheus.hpp"

#include "fleet/chart.hpp"
#include "fleet/table.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace {

// The length of the UTF-8 sequence that starts `text`, or 0 when it is not one.
std::size_t utf8Length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  if (lead < 0x80U) {
    return 1;
  }
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U) {
      return 0;
    }
  }
  return length;
}

std::string number(double value) {
  char text[32];
  const auto result = std::to_chars(std::begin(text), std::end(text), value);
  return {std::begin(text), result.ptr};
}

// One metric: its HELP and TYPE once, then its samples.
class Metric {
public:
  Metric(std::string &out, const std::string &name, const char *type, const std::string &help)
      : out_(out), name_(name) {
    out_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  using Labels = std::vector<std::pair<const char *, std::string>>;
  void sample(const Labels &labels, const std::string &value) {
    out_ += name_;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      out_ += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=\"" +
              prometheusLabelValue(labels[i].second) + "\"";
    }
    out_ += (labels.empty() ? " " : "} ") + value + "\n";
  }

private:
  std::string &out_;
  std::string name_;
};

// The labels that name a device: the identifier from its file, as the table shows it, and
// the name the device list gives it.
Metric::Labels deviceLabels(const DeviceSummary &device) {
  Metric::Labels labels{{"device", shownName(device)}};
  if (device.device != nullptr && !device.device->name.empty()) {
    labels.emplace_back("name", device.device->name);
  }
  return labels;
}

const std::string prefix = "report_collector_";

} // namespace

std::string prometheusLabelValue(std::string_view text) {
  std::string escaped;
  while (!text.empty()) {
    const char c = text[0];
    const std::size_t length = utf8Length(text);
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (length == 0) {
      escaped += printable(text.substr(0, 1));
    } else {
      escaped += text.substr(0, length);
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return escaped;
}

std::vector<std::pair<std::size_t, double>> lastNumericFields(const DeviceSummary &device) {
  std::vector<std::pair<std::size_t, double>> values;
  std::string_view fields = device.lastFields;
  const bool cut = device.lastFieldsLength > device.lastFields.size();
  if (fields.empty()) {
    return values;
  }
  for (std::size_t field = firstValueFieldNumber;; ++field) {
    const auto comma = fields.find(',');
    const std::string value(fields.substr(0, comma));
    const bool last = comma == std::string_view::npos;
    fields = last ? std::string_view() : fields.substr(comma + 1);
    if (last && cut) {
      break;
    }
    // Decimal numbers only: strtod would also take "0x1A", "inf" and "nan".
    const bool decimal =
        !value.empty() && value.find_first_not_of("0123456789+-.eE") == std::string::npos;
    char *end = nullptr;
    const double parsed = decimal ? std::strtod(value.c_str(), &end) : 0;
    if (decimal && *end == '\0' && std::isfinite(parsed)) {
      values.emplace_back(field, parsed);
    }
    if (last) {
      break;
    }
  }
  return values;
}

std::string prometheusText(const std::vector<DeviceSummary> &devices,
                           const std::vector<DeviceSummary> &notListed, const Window &window) {
  std::string out;
  const auto stale = static_cast<std::size_t>(std::count_if(
      devices.begin(), devices.end(), [&](const auto &device) { return isStale(device, window); }));
  Metric(out, prefix + "devices", "gauge",
         "Devices in the fleet: those of the device list, or every device file without one.")
      .sample({}, std::to_string(devices.size()));
  Metric(out, prefix + "stale_devices", "gauge",
         "Devices with no record for their stale threshold, or that never reported.")
      .sample({}, std::to_string(stale));
  Metric(out, prefix + "unlisted_files", "gauge",
         "Device files whose identifier is not in the device list; 0 without a list.")
      .sample({}, std::to_string(notListed.size()));
  Metric(out, prefix + "window_seconds", "gauge",
         "The length of the window in which records are counted.")
      .sample({}, std::to_string(window.since.seconds));

  const auto perDevice = [&](const std::string &name, const char *type, const std::string &help,
                             const std::function<void(Metric &, const DeviceSummary &)> &add) {
    Metric metric(out, prefix + name, type, help);
    for (const DeviceSummary &device : devices) {
      add(metric, device);
    }
  };
  perDevice("last_record_timestamp_seconds", "gauge",
            "The time of the device's last record, in seconds since the epoch.",
            [](Metric &metric, const DeviceSummary &device) {
              if (device.lastSeen != 0) {
                metric.sample(deviceLabels(device), std::to_string(device.lastSeen));
              }
            });
  perDevice("window_records", "gauge", "The device's records in the window.",
            [](Metric &metric, const DeviceSummary &device) {
              metric.sample(deviceLabels(device), std::to_string(device.records));
            });
  perDevice("stale", "gauge",
            "1 when the device sent no record for its stale threshold or never reported, else 0.",
            [&](Metric &metric, const DeviceSummary &device) {
              metric.sample(deviceLabels(device), isStale(device, window) ? "1" : "0");
            });
  perDevice("stale_threshold_seconds", "gauge", "The silence after which the device is stale.",
            [&](Metric &metric, const DeviceSummary &device) {
              metric.sample(deviceLabels(device), std::to_string(staleSeconds(device, window)));
            });
  perDevice("field_value", "gauge",
            "The last value of each numeric field of the device's last record, labelled with "
            "the field's name and unit.",
            [](Metric &metric, const DeviceSummary &device) {
              for (const auto &[field, value] : lastNumericFields(device)) {
                Metric::Labels labels = deviceLabels(device);
                const FieldName *named = namedField(device.device, field - firstValueFieldNumber);
                labels.emplace_back("field", named != nullptr ? named->name
                                                              : "field " + std::to_string(field));
                if (named != nullptr && !named->unit.empty()) {
                  labels.emplace_back("unit", named->unit);
                }
                metric.sample(labels, number(value));
              }
            });
  return out;
}
