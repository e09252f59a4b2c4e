#include "server/admission.hpp"

#include "devicelog/record_format.hpp"

std::optional<std::string> refusalByDeviceList(const DeviceList *devices, const Record &record) {
  if (devices == nullptr || devices->find(record.macAddress) != nullptr) {
    return std::nullopt;
  }
  return "refused device identifier \"" + printable(record.macAddress) +
         "\": it is not in the device list";
}
