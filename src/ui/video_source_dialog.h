#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "camera/video_device.h"
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
// the note says so. describe says what the capture device at a path offers
// (its inputs and TV standards), nothing when it cannot be asked.
struct DeviceCatalog {
  std::function<std::vector<DeviceChoice>()> sources;
  std::function<std::vector<DeviceChoice>()> ports;
  std::function<Status(const std::string&)> use_source;
  std::string note;
  std::function<std::optional<DeviceOffer>(const std::string& path)> describe = {};
};

// Video Source: chooses the capture device (or the simulated camera), its
// input and TV standard, and the camera port.
class VideoSourceDialog : public QDialog {
  Q_OBJECT

 public:
  VideoSourceDialog(Settings& settings, const DeviceCatalog& devices, QWidget* parent);

  QComboBox* source_box() const { return source_box_; }
  QComboBox* port_box() const { return port_box_; }
  QComboBox* input_box() const { return input_box_; }
  QComboBox* standard_box() const { return standard_box_; }
  void accept() override;

 private:
  // The inputs (and standards) of the capture device chosen.
  void show_inputs();
  void show_standards();
  // The source name from the boxes: the device chosen with its input and
  // standard, and the other options it has in the settings.
  std::string chosen_source() const;

  Settings& settings_;
  const DeviceCatalog& devices_;
  QComboBox* source_box_ = nullptr;
  QComboBox* port_box_ = nullptr;
  QComboBox* input_box_ = nullptr;
  QComboBox* standard_box_ = nullptr;
  std::optional<DeviceOffer> offer_;
  QLabel* message_ = nullptr;
};

}  // namespace noctra
