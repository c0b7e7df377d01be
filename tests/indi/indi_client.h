#pragma once
// A small INDI client for the driver tests: it keeps the last state and
// values of every property of one device, the device's messages and every
// BLOB that arrives, and lets a test wait for a condition on them.

#include <libindi/baseclient.h>
#include <libindi/basedevice.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace noctra::indi::test {

struct ReceivedBlob {
  std::vector<uint8_t> bytes;
  std::string format;
  std::chrono::system_clock::time_point arrived;
  std::string property;                                // CCD1 or CCD2
  std::chrono::steady_clock::time_point arrived_mono;  // the port trace's clock
};

struct DeviceView {
  std::map<std::string, IPState> states;      // property name
  std::map<std::string, std::string> values;  // "PROPERTY.ELEMENT" as text
  std::vector<std::string> messages;
  std::vector<ReceivedBlob> blobs;
  bool has(const std::string& property) const { return states.count(property) != 0; }
  IPState state(const std::string& property) const {
    auto it = states.find(property);
    return it == states.end() ? IPS_IDLE : it->second;
  }
  std::string value(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  }
  bool said(const std::string& part) const {
    for (const auto& m : messages) {
      if (m.find(part) != std::string::npos) return true;
    }
    return false;
  }
};

class IndiClient : public INDI::BaseClient {
 public:
  explicit IndiClient(std::string device) : device_(std::move(device)) {
    watchDevice(device_.c_str());
  }

  // Waits until the condition holds on the device's view; false on timeout.
  bool wait_for(const std::function<bool(const DeviceView&)>& condition,
                std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(view_); });
  }
  DeviceView snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return view_;
  }

 protected:
  void newProperty(INDI::Property property) override { record(property); }
  void updateProperty(INDI::Property property) override { record(property); }
  void removeProperty(INDI::Property property) override {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.states.erase(property.getName());
    changed_.notify_all();
  }
  void newMessage(INDI::BaseDevice device, int id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.messages.push_back(device.messageQueue(static_cast<size_t>(id)));
    changed_.notify_all();
  }

 private:
  void record(INDI::Property property);

  std::string device_;
  std::mutex mutex_;
  std::condition_variable changed_;
  DeviceView view_;
};

}  // namespace noctra::indi::test
