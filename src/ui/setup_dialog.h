#pragma once
// The Setup Capture dialog: every capture setting, and Start Capture.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace noctra {

struct Settings;
class SaveFileChooser;

// The dialog's control numbers, kept on each control as the property "id".
enum SetupControl : int {
  kSetupOk = 1,
  kSetupCancel = 2,
  kSetupExposure = 1001,
  kSetupFileButton = 1003,
  kSetupAutoIncrement = 1004,
  kSetupDelay = 1005,
  kSetupCount = 1006,
  kSetupAmpOff = 1007,
  kSetupStartCapture = 1008,
  kSetupGuiding = 1009,
  kSetupGuideInterval = 1010,
  kSetupLowRes = 1015,
  kSetupHighRes = 1016,
  kSetupMonoRecording = 1020,
  kSetupObserver = 1021,
  kSetupInstrument = 1022,
  kSetupTelescope = 1023,
};

// A field's text as an unsigned 32-bit decimal number: digits only (spaces
// around them allowed), at most 4294967295; nothing otherwise.
std::optional<uint32_t> parse_dialog_number(std::string_view text);

class SetupDialog : public QDialog {
  Q_OBJECT

 public:
  struct Hooks {
    // Called with the dialog when it opens and with null when it closes.
    std::function<void(SetupDialog*)> set_open_dialog;
    std::function<void()> layout_if_idle;
  };

  SetupDialog(Settings& settings, bool recording, SaveFileChooser& chooser, Hooks hooks,
              QWidget* parent);
  ~SetupDialog() override;

  void set_start_capture_enabled(bool enabled);
  // True when Start Capture closed the dialog: the owner then posts Record.
  bool start_capture_chosen() const { return result() == kSetupStartCapture; }
  QWidget* control(int id) const;
  // The number fields whose text was not taken when the dialog stored its
  // values (the setting kept its old value), named for the status bar;
  // empty when every value was taken.
  QString not_taken() const { return not_taken_; }

  void done(int result) override;
  void accept() override;
  void reject() override;

 private:
  void store_dialog_values();
  void start_capture();
  void choose_file();
  void show_file_path(const QString& path);

  Settings& settings_;
  SaveFileChooser& chooser_;
  Hooks hooks_;
  bool open_ = true;

  QLineEdit* exposure_ = nullptr;
  QLineEdit* guide_interval_ = nullptr;
  QLineEdit* delay_ = nullptr;
  QLineEdit* count_ = nullptr;
  QCheckBox* amp_off_ = nullptr;
  QCheckBox* guiding_ = nullptr;
  QRadioButton* low_res_ = nullptr;
  QRadioButton* high_res_ = nullptr;
  QPushButton* file_button_ = nullptr;
  QCheckBox* auto_increment_ = nullptr;
  QPushButton* start_capture_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QCheckBox* mono_ = nullptr;
  QLineEdit* observer_ = nullptr;
  QLineEdit* instrument_ = nullptr;
  QLineEdit* telescope_ = nullptr;
  QString not_taken_;
};

}  // namespace noctra
