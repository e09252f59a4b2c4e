#include "server/admission.hpp"

std::optional<std::string> refusalByDeviceList(const DeviceList *devices, const Record &record) {
  if (devices == nullptr || devices->find(record.macAddress) != nullptr) {
    return std::nullopt;
  }
  return refusalOf(record.macAddress, "it is not in the device list");
}
