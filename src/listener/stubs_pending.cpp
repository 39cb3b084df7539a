// Temporary bodies until the state handling, ingest, flush, upload and check-in land.
#include "listener/ear.h"

namespace brelo::listener {

std::string Ear::word(bluetooth::ManagerState) { return "starting"; }
void Ear::centralManagerDidUpdateState(bluetooth::CentralManager&) {}
void Ear::centralManagerDidDiscover(bluetooth::CentralManager&, const bluetooth::Advertisement&) {}
void Ear::flush() {}
void Ear::checkIn() {}
void Ear::send(std::vector<DeviceRecord>, const std::string&) {}
void Ear::putBack(std::vector<DeviceRecord>) {}

}  // namespace brelo::listener
