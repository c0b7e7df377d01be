#pragma once
// The 8-bit camera control port. Every back end reads back the last byte
// written (keeping a shadow where the hardware cannot), and leaves the idle
// pattern on the lines when it is closed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace noctra {

// The idle pattern, two bytes that leave the camera at rest: the first sets
// bits 0..5 to 1 with bit 4 passing through 0 first, the second brings bit 4
// up as well; bits 6 and 7 keep what they carried. Each byte is made from
// what the port carries just before it. Plain arithmetic, so the crash
// handler can use it inside a signal handler.
constexpr uint8_t idle_first_byte(uint8_t current) {
  return static_cast<uint8_t>((current & 0xEF) | 0x2F);
}
constexpr uint8_t idle_second_byte(uint8_t current) { return static_cast<uint8_t>(current | 0x3F); }

// A control byte as people read it in logs and traces: "0x2F".
std::string port_byte_text(uint8_t byte);

class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint8_t read() = 0;
  virtual void write(uint8_t byte) = 0;
  // What the user sees in messages: "sim", "ppdev:/dev/parport0", ...
  virtual std::string name() const = 0;
};

// In memory: reads back the last byte written, logs every write and tells
// listeners (the simulated camera, --trace-port) about each one.
class SimPortDevice : public PortDevice {
 public:
  using Listener = std::function<void(uint8_t)>;
  explicit SimPortDevice(uint8_t initial = 0) : value_(initial) {}
  uint8_t read() override { return value_; }
  void write(uint8_t byte) override;
  std::string name() const override { return "sim"; }

  const std::vector<uint8_t>& log() const { return log_; }
  void clear_log() { log_.clear(); }
  void add_listener(Listener listener) { listeners_.push_back(std::move(listener)); }

 private:
  uint8_t value_;
  std::vector<uint8_t> log_;
  std::vector<Listener> listeners_;
};

// Wraps another device and reports each write to a callback (--trace-port).
class TracingPortDevice : public PortDevice {
 public:
  TracingPortDevice(std::unique_ptr<PortDevice> inner, std::function<void(uint8_t)> trace)
      : inner_(std::move(inner)), trace_(std::move(trace)) {}
  uint8_t read() override { return inner_->read(); }
  void write(uint8_t byte) override {
    inner_->write(byte);
    trace_(byte);
  }
  std::string name() const override { return inner_->name(); }
  PortDevice& inner() { return *inner_; }

 private:
  std::unique_ptr<PortDevice> inner_;
  std::function<void(uint8_t)> trace_;
};

}  // namespace noctra
