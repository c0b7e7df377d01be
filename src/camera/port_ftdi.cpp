// FT232R-class chips in asynchronous bit-bang mode through libftdi1: all
// eight data lines follow the control byte.
#include <ftdi.h>

#include "camera/port_backends.h"

namespace noctra {

namespace {

constexpr int kFtdiVendor = 0x0403;
// FT232R/FT245R, FT-X series, FT2232, FT4232H, FT232H.
constexpr int kFtdiProducts[] = {0x6001, 0x6015, 0x6010, 0x6011, 0x6014};

struct FtdiContext {
  ftdi_context* ctx = ftdi_new();
  ~FtdiContext() {
    if (ctx != nullptr) ftdi_free(ctx);
  }
};

class FtdiLines : public PortLines {
 public:
  explicit FtdiLines(ftdi_context* ctx) : ctx_(ctx) {}
  ~FtdiLines() override {
    // Bit-bang mode stays on, so the lines keep the idle pattern written
    // just before; a reset would hand them back to the UART.
    ftdi_usb_close(ctx_);
    ftdi_free(ctx_);
  }
  Status put(uint8_t byte) override {
    unsigned char data = byte;
    if (ftdi_write_data(ctx_, &data, 1) != 1) return failure(ftdi_get_error_string(ctx_));
    return {};
  }
  std::optional<uint8_t> sense() override {
    unsigned char pins = 0;
    if (ftdi_read_pins(ctx_, &pins) != 0) return std::nullopt;
    return pins;
  }

 private:
  ftdi_context* ctx_;
};

}  // namespace

bool ftdi_support_built() { return true; }

Result<std::unique_ptr<PortDevice>> open_ftdi_port(const std::string& usb_serial, LogSink log) {
  const std::string name = usb_serial.empty() ? "ftdi" : "ftdi:" + usb_serial;
  ftdi_context* ctx = ftdi_new();
  if (ctx == nullptr) return failure(name + ": cannot initialise libftdi");
  int opened = -1;
  for (int product : kFtdiProducts) {
    opened = ftdi_usb_open_desc(ctx, kFtdiVendor, product, nullptr,
                                usb_serial.empty() ? nullptr : usb_serial.c_str());
    if (opened == 0) break;
  }
  if (opened != 0) {
    Failure refused = failure(name + ": " + ftdi_get_error_string(ctx));
    ftdi_free(ctx);
    return refused;
  }
  if (ftdi_set_bitmode(ctx, 0xFF, BITMODE_BITBANG) != 0) {
    Failure refused = failure(name + ": cannot enter bit-bang mode: " + ftdi_get_error_string(ctx));
    ftdi_usb_close(ctx);
    ftdi_free(ctx);
    return refused;
  }
  unsigned char pins = 0x3F;
  ftdi_read_pins(ctx, &pins);
  return std::unique_ptr<PortDevice>(std::make_unique<ShadowPortDevice>(
      name, std::make_unique<FtdiLines>(ctx), pins, std::move(log)));
}

std::vector<std::string> list_ftdi_ports() {
  std::vector<std::string> found;
  FtdiContext context;
  if (context.ctx == nullptr) return found;
  for (int product : kFtdiProducts) {
    ftdi_device_list* devices = nullptr;
    if (ftdi_usb_find_all(context.ctx, &devices, kFtdiVendor, product) <= 0) continue;
    for (ftdi_device_list* d = devices; d != nullptr; d = d->next) {
      char manufacturer[128] = "", description[128] = "", serial[128] = "";
      ftdi_usb_get_strings(context.ctx, d->dev, manufacturer, sizeof manufacturer, description,
                           sizeof description, serial, sizeof serial);
      found.push_back(std::string("ftdi") + (serial[0] ? ":" : "") + serial + " (" + description +
                      ")");
    }
    ftdi_list_free(&devices);
  }
  return found;
}

}  // namespace noctra
