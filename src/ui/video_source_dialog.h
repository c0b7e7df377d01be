#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "config/status.h"

class QComboBox;
class QLabel;

namespace noctra {

struct Settings;

// One entry of the Video Source dialog: what is stored in the settings
// ("sim", "v4l2:/dev/video0", "ppdev:/dev/parport0", ...) and what is shown.
struct DeviceChoice {
  std::string name;
  std::string label;
};

// The capture devices and camera ports on offer, and how a new source is
// opened at once (false with the reason when it cannot be; the previous one
// then stays in use). Without use_source a source choice is only stored in
// the settings; a port choice always is, to be opened at the next start, and
// the note says so.
struct DeviceCatalog {
  std::function<std::vector<DeviceChoice>()> sources;
  std::function<std::vector<DeviceChoice>()> ports;
  std::function<Status(const std::string&)> use_source;
  std::string note;
};

// Video Source: chooses the capture device (or the simulated camera) and the
// camera port.
class VideoSourceDialog : public QDialog {
  Q_OBJECT

 public:
  VideoSourceDialog(Settings& settings, const DeviceCatalog& devices, QWidget* parent);

  QComboBox* source_box() const { return source_box_; }
  QComboBox* port_box() const { return port_box_; }
  void accept() override;

 private:
  Settings& settings_;
  const DeviceCatalog& devices_;
  QComboBox* source_box_ = nullptr;
  QComboBox* port_box_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace noctra
