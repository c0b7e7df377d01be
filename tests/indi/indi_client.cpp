#include "indi/indi_client.h"

#include <cstdio>

namespace noctra::indi::test {

void IndiClient::record(INDI::Property property) {
  const auto arrived_mono = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = property.getName();
  view_.states[name] = property.getState();
  switch (property.getType()) {
    case INDI_NUMBER:
      for (auto& n : *property.getNumber()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.6f", n.getValue());
        view_.values[name + "." + n.getName()] = text;
      }
      break;
    case INDI_SWITCH:
      for (auto& s : *property.getSwitch()) {
        view_.values[name + "." + s.getName()] = s.getState() == ISS_ON ? "On" : "Off";
      }
      break;
    case INDI_TEXT:
      for (auto& t : *property.getText()) view_.values[name + "." + t.getName()] = t.getText();
      break;
    case INDI_BLOB:
      for (auto& b : *property.getBLOB()) {
        if (b.getBlobLen() <= 0 || b.getBlob() == nullptr) continue;
        const auto* data = static_cast<const uint8_t*>(b.getBlob());
        view_.blobs.push_back({std::vector<uint8_t>(data, data + b.getBlobLen()), b.getFormat(),
                               std::chrono::system_clock::now(), name, arrived_mono});
      }
      break;
    default:
      break;
  }
  changed_.notify_all();
}

}  // namespace noctra::indi::test
