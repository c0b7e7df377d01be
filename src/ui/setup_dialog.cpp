#include "ui/setup_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>

#include "config/paths.h"
#include "config/settings.h"
#include "output/naming.h"
#include "ui/save_file_chooser.h"

namespace noctra {

std::optional<uint32_t> parse_dialog_number(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

namespace {

QString unsigned_text(int32_t value) { return QString::number(static_cast<uint32_t>(value)); }

// False when the text is not a number the field takes: the setting keeps
// its value.
bool store_number(const QLineEdit* field, int32_t& setting) {
  if (auto number = parse_dialog_number(field->text().toStdString())) {
    setting = static_cast<int32_t>(*number);
    return true;
  }
  return false;
}

// FITS keeps a header text in 68 characters.
constexpr int kHeaderTextChars = 68;

template <typename Widget>
Widget* with_id(Widget* widget, int id) {
  widget->setProperty("id", id);
  return widget;
}

QLabel* static_text(const QString& text) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label->setProperty("id", -1);
  return label;
}

QLineEdit* number_field(int id, bool digits_only) {
  auto* field = with_id(new QLineEdit, id);
  if (digits_only) {
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
  }
  field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + 12);
  return field;
}

}  // namespace

SetupDialog::SetupDialog(Settings& settings, bool recording, SaveFileChooser& chooser, Hooks hooks,
                         QWidget* parent)
    : QDialog(parent), settings_(settings), chooser_(chooser), hooks_(std::move(hooks)) {
  setWindowTitle(QStringLiteral("Setup Capture"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  // Created in the order the user tabs through them.
  auto* exposure_label = static_text(QStringLiteral("Exposure time (ms)"));
  exposure_ = number_field(kSetupExposure, true);
  auto* guide_label = static_text(QStringLiteral("Guide interval (ms)"));
  guide_interval_ = number_field(kSetupGuideInterval, false);
  auto* delay_label = static_text(QStringLiteral("Delay between\nexposures (ms)"));
  delay_ = number_field(kSetupDelay, true);
  auto* count_label = static_text(QStringLiteral("Number of frames\n(0 = no limit)"));
  count_ = number_field(kSetupCount, true);
  amp_off_ = with_id(new QCheckBox(QStringLiteral("Amplifier off during exposure")), kSetupAmpOff);
  guiding_ = with_id(new QCheckBox(QStringLiteral("Guiding mode enabled")), kSetupGuiding);
  low_res_ = with_id(new QRadioButton(QStringLiteral("Low Res (Binned)")), kSetupLowRes);
  high_res_ = with_id(new QRadioButton(QStringLiteral("High Res")), kSetupHighRes);
  auto* file_label = static_text(QStringLiteral("Save images in"));
  file_button_ = with_id(new QPushButton(QStringLiteral("Edit")), kSetupFileButton);
  auto_increment_ = with_id(new QCheckBox(QStringLiteral("Autoincrement")), kSetupAutoIncrement);
  start_capture_ = with_id(new QPushButton(QStringLiteral("Start Capture")), kSetupStartCapture);
  ok_ = with_id(new QPushButton(QStringLiteral("OK")), kSetupOk);
  cancel_ = with_id(new QPushButton(QStringLiteral("Cancel")), kSetupCancel);
  mono_ = with_id(new QCheckBox(QStringLiteral("Mono recording (8-bit)")), kSetupMonoRecording);
  observer_ = with_id(new QLineEdit, kSetupObserver);
  instrument_ = with_id(new QLineEdit, kSetupInstrument);
  telescope_ = with_id(new QLineEdit, kSetupTelescope);

  file_button_->setFlat(true);
  ok_->setDefault(true);
  start_capture_->setAutoDefault(false);
  cancel_->setAutoDefault(false);
  file_button_->setAutoDefault(false);
  // The radio buttons are reached by clicking, not by Tab.
  low_res_->setFocusPolicy(Qt::ClickFocus);
  high_res_->setFocusPolicy(Qt::ClickFocus);
  auto* resolution = new QButtonGroup(this);
  resolution->addButton(low_res_);
  resolution->addButton(high_res_);

  auto* grid = new QGridLayout;
  grid->addWidget(exposure_label, 0, 0);
  grid->addWidget(exposure_, 0, 1);
  grid->addWidget(amp_off_, 0, 3);
  grid->addWidget(guide_label, 1, 0);
  grid->addWidget(guide_interval_, 1, 1);
  grid->addWidget(guiding_, 1, 3);
  grid->addWidget(delay_label, 2, 0);
  grid->addWidget(delay_, 2, 1);
  grid->addWidget(low_res_, 2, 3);
  grid->addWidget(count_label, 3, 0);
  grid->addWidget(count_, 3, 1);
  grid->addWidget(high_res_, 3, 3);
  grid->setColumnMinimumWidth(2, 16);
  grid->setColumnStretch(4, 1);

  auto* file_row = new QHBoxLayout;
  file_row->addWidget(file_label);
  file_row->addWidget(file_button_, 1);
  file_row->addWidget(auto_increment_);
  file_row->addWidget(mono_);

  // Written into the recordings' headers (SER, FITS).
  auto* header_texts = new QGridLayout;
  const std::pair<const char*, QLineEdit*> texts[] = {
      {"Observer", observer_}, {"Instrument", instrument_}, {"Telescope", telescope_}};
  int column = 0;
  for (const auto& [name, field] : texts) {
    field->setMaxLength(kHeaderTextChars);
    header_texts->addWidget(static_text(QString::fromLatin1(name)), 0, column++);
    header_texts->addWidget(field, 0, column++);
  }

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(start_capture_);
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  buttons->addWidget(ok_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(file_row);
  layout->addLayout(header_texts);
  layout->addLayout(buttons);

  const QList<QWidget*> tab_order = {
      exposure_, guide_interval_, delay_,          count_,         amp_off_,
      guiding_,  file_button_,    auto_increment_, start_capture_, ok_,
      cancel_,   mono_,           observer_,       instrument_,    telescope_};
  for (qsizetype i = 1; i < tab_order.size(); ++i) setTabOrder(tab_order[i - 1], tab_order[i]);

  exposure_->setText(unsigned_text(settings_.exposure));
  guide_interval_->setText(unsigned_text(settings_.guide_interval));
  delay_->setText(unsigned_text(settings_.delay));
  count_->setText(unsigned_text(settings_.count));
  show_file_path(QString::fromStdString(settings_.image_file_path));
  guiding_->setChecked(settings_.guiding != 0);
  amp_off_->setChecked(settings_.amp_off != 0);
  auto_increment_->setChecked(settings_.auto_increment != 0);
  mono_->setChecked(mono_recording(settings_));
  observer_->setText(QString::fromStdString(settings_.observer));
  instrument_->setText(QString::fromStdString(settings_.instrument));
  telescope_->setText(QString::fromStdString(settings_.telescope));
  (settings_.hi_res != 0 ? high_res_ : low_res_)->setChecked(true);
  start_capture_->setEnabled(!recording);
  guide_interval_->setEnabled(settings_.guiding != 0);

  connect(guiding_, &QCheckBox::clicked, this,
          [this] { guide_interval_->setEnabled(guiding_->isChecked()); });
  connect(low_res_, &QRadioButton::clicked, this, [this] {
    settings_.hi_res = 0;
    if (hooks_.layout_if_idle) hooks_.layout_if_idle();
  });
  connect(high_res_, &QRadioButton::clicked, this, [this] {
    settings_.hi_res = 1;
    if (hooks_.layout_if_idle) hooks_.layout_if_idle();
  });
  connect(file_button_, &QPushButton::clicked, this, &SetupDialog::choose_file);
  connect(start_capture_, &QPushButton::clicked, this, &SetupDialog::start_capture);
  connect(ok_, &QPushButton::clicked, this, &SetupDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &SetupDialog::reject);

  exposure_->setFocus();
  if (hooks_.set_open_dialog) hooks_.set_open_dialog(this);
}

SetupDialog::~SetupDialog() {
  if (open_ && hooks_.set_open_dialog) hooks_.set_open_dialog(nullptr);
}

QWidget* SetupDialog::control(int id) const {
  for (QWidget* widget : findChildren<QWidget*>()) {
    if (widget->property("id").toInt() == id) return widget;
  }
  return nullptr;
}

void SetupDialog::show_file_path(const QString& path) {
  // Wide enough for the whole path, within reason; the tooltip always has it.
  constexpr int kMinWidth = 240;
  constexpr int kMaxWidth = 640;
  file_button_->setText(path);
  file_button_->setToolTip(path);
  const int wanted = file_button_->fontMetrics().horizontalAdvance(path) + 24;
  file_button_->setMinimumWidth(std::clamp(wanted, kMinWidth, kMaxWidth));
}

void SetupDialog::set_start_capture_enabled(bool enabled) { start_capture_->setEnabled(enabled); }

void SetupDialog::store_dialog_values() {
  const std::pair<const char*, std::pair<QLineEdit*, int32_t*>> numbers[] = {
      {"Exposure time", {exposure_, &settings_.exposure}},
      {"Guide interval", {guide_interval_, &settings_.guide_interval}},
      {"Delay between exposures", {delay_, &settings_.delay}},
      {"Number of frames", {count_, &settings_.count}}};
  QStringList refused;
  for (const auto& [name, number] : numbers) {
    if (store_number(number.first, *number.second)) continue;
    refused << QStringLiteral("%1 \"%2\" not taken, kept %3")
                   .arg(QString::fromLatin1(name), number.first->text(),
                        unsigned_text(*number.second));
  }
  not_taken_ = refused.join(QStringLiteral("; "));
  settings_.observer = observer_->text().toStdString();
  settings_.instrument = instrument_->text().toStdString();
  settings_.telescope = telescope_->text().toStdString();
  settings_.image_file_path = cut_to_max_path(file_button_->text().toStdString());
  settings_.guiding = guiding_->isChecked() ? 1 : 0;
  settings_.amp_off = amp_off_->isChecked() ? 1 : 0;
  settings_.auto_increment = auto_increment_->isChecked() ? 1 : 0;
  // Only a change of the box rewrites the setting's text.
  if (mono_->isChecked() != mono_recording(settings_)) {
    settings_.colour = mono_->isChecked() ? "mono" : "bgr";
  }
}

void SetupDialog::choose_file() {
  const PathChoice choice =
      setup_file_button(file_button_->text().toStdString(), browse_with(chooser_, this),
                        kNativePathFlavour, home_folder());
  if (choice.outcome == PathChoiceOutcome::TooLong) {
    show_path_too_long(this, choice.path, choice.extension);
  } else if (choice.outcome == PathChoiceOutcome::Chosen) {
    show_file_path(QString::fromStdString(choice.path));
  }
}

void SetupDialog::start_capture() {
  store_dialog_values();
  done(kSetupStartCapture);
}

void SetupDialog::accept() {
  store_dialog_values();
  done(kSetupOk);
}

void SetupDialog::reject() { done(kSetupCancel); }

void SetupDialog::done(int result) {
  if (open_) {
    open_ = false;
    if (hooks_.set_open_dialog) hooks_.set_open_dialog(nullptr);
  }
  QDialog::done(result);
}

}  // namespace noctra
