#include "server/admission.hpp"

std::optional<std::string> refusalByDeviceList(const DeviceKeys *devices, const Record &record) {
  if (devices == nullptr || devices->contains(record.macAddress)) {
    return std::nullopt;
  }
  return refusalOf(record.macAddress, "it is not in the device list");
}
