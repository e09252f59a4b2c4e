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
Metric::Labels fieldLabels(const FleetDevice &device, std::size_t field) {
  Metric::Labels labels = deviceLabels(device);
  labels.emplace_back("field", fieldName(device, field));
  const FieldName *named = namedField(device, field);
  if (named != nullptr && !named->unit.empty()) {
    labels.emplace_back("unit", named->unit);
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

void writePrometheus(std::ostream &out, const Fleet &fleet) {
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

  const auto perDevice = [&](const std::string &name, const char *type, const std::string &help,
                             const std::function<void(Metric &, const FleetDevice &)> &add) {
    Metric metric(out, prefix + name, type, help);
    for (const FleetDevice &device : devices) {
      add(metric, device);
    }
  };
  perDevice("last_record_timestamp_seconds", "gauge",
            "The time of the device's last record, in seconds since the epoch.",
            [](Metric &metric, const FleetDevice &device) {
              if (device.lastSeen != 0) {
                metric.sample(deviceLabels(device), std::to_string(device.lastSeen));
              }
            });
  perDevice("window_records", "gauge", "The device's records in the window.",
            [](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), std::to_string(device.records));
            });
  perDevice("stale", "gauge",
            "1 when the device sent no record for its stale threshold or never reported, else 0.",
            [&](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), device.stale ? "1" : "0");
            });
  perDevice("stale_threshold_seconds", "gauge", "The silence after which the device is stale.",
            [&](Metric &metric, const FleetDevice &device) {
              metric.sample(deviceLabels(device), std::to_string(device.staleSeconds));
            });
  perDevice("field_value", "gauge",
            "The last value of each numeric field of the device's last record, labelled with "
            "the field's name and unit.",
            [](Metric &metric, const FleetDevice &device) {
              for (const FieldValue &value : device.last.values) {
                metric.sample(fieldLabels(device, value.field), formatValue(value.value));
              }
            });
  perDevice("field_state", "gauge",
            "How the last value of a field with a range in the device list stands: 0 ok, "
            "1 in its warning range, 2 in its critical range, 3 no number.",
            [](Metric &metric, const FleetDevice &device) {
              for (const FieldCheck &check : device.checks) {
                metric.sample(fieldLabels(device, check.field),
                              std::to_string(static_cast<int>(check.state)));
              }
            });
  for (const auto &[level, range] :
       {std::pair{"warn", &FieldName::warn}, std::pair{"crit", &FieldName::crit}}) {
    for (const auto &[end, side] :
         {std::pair{"low", &AlertRange::start}, std::pair{"high", &AlertRange::end}}) {
      perDevice(std::string("field_") + level + "_" + end, "gauge",
                std::string("The ") + end + " end of the field's " +
                    (level == std::string("warn") ? "warning" : "critical") +
                    " range in the device list; alert=\"outside\" alerts beyond it, "
                    "alert=\"inside\" within it.",
                [&, range = range, side = side](Metric &metric, const FleetDevice &device) {
                  for (const FieldCheck &check : device.checks) {
                    const std::optional<AlertRange> &set = check.named->*range;
                    if (set && (*set).*side) {
                      Metric::Labels labels = fieldLabels(device, check.field);
                      labels.emplace_back("alert", set->inside ? "inside" : "outside");
                      metric.sample(labels, formatValue(*((*set).*side)));
                    }
                  }
                });
    }
  }
}
