#include "fleet/render/prometheus.hpp"

#include "fleet/render/text.hpp"

#include "base/escaping.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <ostream>

namespace {

// One metric: its HELP and TYPE once, then its samples.
class Metric {
public:
  Metric(std::ostream &out, const std::string &name, const char *type, const std::string &help)
      : out_(out), name_(name) {
    out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  }
  using Labels = std::vector<std::pair<const char *, std::string>>;
  void sample(const Labels &labels, const std::string &value) {
    out_ << name_;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      out_ << (i == 0 ? "{" : ",") << labels[i].first << "=\""
           << prometheusLabelValue(labels[i].second) << "\"";
    }
    out_ << (labels.empty() ? " " : "} ") << value << "\n";
  }

private:
  std::ostream &out_;
  std::string name_;
};

// The labels that name a device: its identifier, as the table shows it, and the name the
// device list gives it.
Metric::Labels deviceLabels(const FleetDevice &device) {
  Metric::Labels labels{{"device", device.identifier}};
  if (!device.name.empty()) {
    labels.emplace_back("name", device.name);
  }
  return labels;
}

// The labels of one field of a device: the device's, the field's name from the list, else
// "field 3" and on, and its unit where the list gives one.
Metric::Labels fieldLabels(const FleetDevice &device, const DeviceField &field) {
  Metric::Labels labels = deviceLabels(device);
  labels.emplace_back("field", field.name());
  if (!field.unit().empty()) {
    labels.emplace_back("unit", std::string(field.unit()));
  }
  return labels;
}

const std::string prefix = "report_collector_";

} // namespace

std::string prometheusLabelValue(std::string_view text) {
  std::string escaped;
  while (!text.empty()) {
    const char c = text[0];
    const std::size_t length = utf8SequenceLength(text);
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (length == 0) {
      // The format knows no \\x escape: the byte is shown as text, its backslash escaped.
      escaped += "\\" + printable(text.substr(0, 1));
    } else {
      escaped += text.substr(0, length);
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return escaped;
}

namespace {

// Adds a metric named `name` with a sample per device, as `add` gives them.
using PerDevice = std::function<void(const std::string &name, const std::string &help,
                                     const std::function<void(Metric &, const FleetDevice &)> &)>;

void writeFleetMetrics(std::ostream &out, const Fleet &fleet) {
  const auto &devices = fleet.devices;
  Metric(out, prefix + "devices", "gauge",
         "Devices in the fleet: those of the device list, or every device file without one.")
      .sample({}, std::to_string(devices.size()));
  Metric(out, prefix + "stale_devices", "gauge",
         "Devices with no record for their stale threshold, or that never reported.")
      .sample({}, std::to_string(fleet.staleDevices));
  Metric(out, prefix + "unlisted_files", "gauge",
         "Device files whose identifier is not in the device list; 0 without a list.")
      .sample({}, std::to_string(fleet.notListed.size()));
  Metric(out, prefix + "window_seconds", "gauge",
         "The length of the window in which records are counted.")
      .sample({}, std::to_string(fleet.window.since.seconds));
}

// The fleet's own metrics.
// (Each device's metrics follow, then its fields', then the ends of its fields' ranges.)
void writeDeviceMetrics(const PerDevice &perDevice) {
  perDevice("last_record_timestamp_seconds",
            "The time of the device's last record, in seconds since the epoch.",
            [](Metric &metric, const FleetDevice &device) {
              if (device.lastSeen != 0) {
                metric.sample(deviceLabels(device), std::to_string(device.lastSeen));
              }
            });
  perDevice("window_records", "The device's records in the window.",
            [](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), std::to_string(device.records));
            });
  perDevice("stale",
            "1 when the device sent no record for its stale threshold or never reported, else 0.",
            [&](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), device.stale ? "1" : "0");
            });
  perDevice("stale_threshold_seconds", "The silence after which the device is stale.",
            [&](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), std::to_string(device.staleSeconds));
            });
}

void writeFieldMetrics(const PerDevice &perDevice) {
  perDevice("field_value",
            "The last value of each numeric field of the device's last record, labelled with "
            "the field's name and unit.",
            [](Metric &metric, const FleetDevice &device) {
              for (const DeviceField &field : device.fields) {
                if (field.last) {
                  metric.sample(fieldLabels(device, field), formatValue(*field.last));
                }
              }
            });
  perDevice("field_state",
            "How the last value of a field with a range in the device list stands: 0 ok, "
            "1 in its warning range, 2 in its critical range, 3 no number.",
            [](Metric &metric, const FleetDevice &device) {
              for (const DeviceField &field : device.fields) {
                if (field.ranged()) {
                  metric.sample(fieldLabels(device, field),
                                std::to_string(static_cast<int>(field.state)));
                }
              }
            });
}

// The ends of each field's warning and critical ranges.
void writeRangeMetrics(const PerDevice &perDevice) {
  for (const auto &[level, range] :
       {std::pair{"warn", &DeviceField::warn}, std::pair{"crit", &DeviceField::crit}}) {
    for (const auto &[end, side] :
         {std::pair{"low", &AlertRange::start}, std::pair{"high", &AlertRange::end}}) {
      perDevice(std::string("field_") + level + "_" + end,
                std::string("The ") + end + " end of the field's " +
                    (level == std::string("warn") ? "warning" : "critical") +
                    " range in the device list; alert=\"outside\" alerts beyond it, "
                    "alert=\"inside\" within it.",
                [&, range = range, side = side](Metric &metric, const FleetDevice &device) {
                  for (const DeviceField &field : device.fields) {
                    const AlertRange *set = (field.*range)();
                    if (set != nullptr && set->*side) {
                      Metric::Labels labels = fieldLabels(device, field);
                      labels.emplace_back("alert", set->inside ? "inside" : "outside");
                      metric.sample(labels, formatValue(*(set->*side)));
                    }
                  }
                });
    }
  }
}

} // namespace

void writePrometheus(std::ostream &out, const Fleet &fleet) {
  writeFleetMetrics(out, fleet);
  // Every metric of the devices is a gauge, with a sample per device.
  const PerDevice perDevice = [&](const std::string &name, const std::string &help,
                                  const std::function<void(Metric &, const FleetDevice &)> &add) {
    Metric metric(out, prefix + name, "gauge", help);
    for (const FleetDevice &device : fleet.devices) {
      add(metric, device);
    }
  };
  writeDeviceMetrics(perDevice);
  writeFieldMetrics(perDevice);
  writeRangeMetrics(perDevice);
}
