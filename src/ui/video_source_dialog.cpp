#include "ui/video_source_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "camera/v4l2_choice.h"
#include "config/settings.h"

namespace noctra {

namespace {

void fill(QComboBox* box, const std::vector<DeviceChoice>& choices, const std::string& current) {
  for (const DeviceChoice& choice : choices) {
    box->addItem(QString::fromStdString(choice.label), QString::fromStdString(choice.name));
  }
  int index = box->findData(QString::fromStdString(current));
  if (index < 0 && !current.empty()) {
    box->addItem(QString::fromStdString(current), QString::fromStdString(current));
    index = box->count() - 1;
  }
  box->setCurrentIndex(index);
}

std::vector<DeviceChoice> listed(const std::function<std::vector<DeviceChoice>()>& list) {
  return list ? list() : std::vector<DeviceChoice>{};
}

// The address of a capture device's source name.
std::optional<V4l2Address> v4l2_address(const std::string& source) {
  if (source.rfind("v4l2:", 0) != 0) return std::nullopt;
  Result<V4l2Address> parsed = parse_v4l2_address(source.substr(5));
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

// Leaves the device as it is, or takes what the settings name for it: an
// entry of the box when one matches (in any letter case; it keeps the
// settings' spelling), else an entry of its own.
void offer_choices(QComboBox* box, const std::vector<DeviceChoice>& choices,
                   const std::string& configured) {
  const QSignalBlocker blocker(box);
  box->clear();
  box->addItem(QStringLiteral("as the device is"), QString());
  int current = 0;
  for (const DeviceChoice& choice : choices) {
    const bool named =
        !configured.empty() &&
        (QString::fromStdString(configured)
                 .compare(QString::fromStdString(choice.name), Qt::CaseInsensitive) == 0 ||
         QString::fromStdString(configured)
                 .compare(QString::fromStdString(choice.label), Qt::CaseInsensitive) == 0);
    box->addItem(QString::fromStdString(choice.label),
                 QString::fromStdString(named ? configured : choice.name));
    if (named) current = box->count() - 1;
  }
  if (current == 0 && !configured.empty()) {
    box->addItem(QString::fromStdString(configured + " (not offered)"),
                 QString::fromStdString(configured));
    current = box->count() - 1;
  }
  box->setCurrentIndex(current);
  box->setEnabled(box->count() > 1);
}

}  // namespace

VideoSourceDialog::VideoSourceDialog(Settings& settings, const DeviceCatalog& devices,
                                     QWidget* parent)
    : QDialog(parent), settings_(settings), devices_(devices) {
  setWindowTitle(QStringLiteral("Video Source"));
  source_box_ = new QComboBox;
  port_box_ = new QComboBox;
  input_box_ = new QComboBox;
  standard_box_ = new QComboBox;
  // A capture device with options is the device's entry of the list.
  const std::optional<V4l2Address> configured = v4l2_address(settings_.source);
  fill(source_box_, listed(devices_.sources),
       configured ? "v4l2:" + configured->path : settings_.source);
  fill(port_box_, listed(devices_.ports), settings_.port);
  connect(source_box_, &QComboBox::currentIndexChanged, this, &VideoSourceDialog::show_inputs);
  connect(input_box_, &QComboBox::currentIndexChanged, this, &VideoSourceDialog::show_standards);
  show_inputs();
  message_ = new QLabel;
  message_->setWordWrap(true);
  message_->setStyleSheet(QStringLiteral("color: #a00000"));
  message_->hide();
  auto* note = new QLabel(QString::fromStdString(devices_.note));
  note->setWordWrap(true);
  note->setVisible(!devices_.note.empty());

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Capture device:"), source_box_);
  form->addRow(QStringLiteral("Input:"), input_box_);
  form->addRow(QStringLiteral("TV standard:"), standard_box_);
  form->addRow(QStringLiteral("Camera port:"), port_box_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &VideoSourceDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note);
  layout->addWidget(message_);
  layout->addWidget(buttons);
}

void VideoSourceDialog::show_inputs() {
  const std::optional<V4l2Address> address =
      v4l2_address(source_box_->currentData().toString().toStdString());
  offer_.reset();
  if (address && devices_.describe) offer_ = devices_.describe(address->path);
  std::vector<DeviceChoice> inputs;
  if (offer_) {
    for (const InputOffer& input : offer_->inputs) {
      inputs.push_back({std::to_string(input.index), input.name});
    }
  }
  const std::optional<V4l2Address> configured = v4l2_address(settings_.source);
  const bool same = address && configured && configured->path == address->path;
  offer_choices(input_box_, inputs, same ? configured->input : std::string());
  show_standards();
}

void VideoSourceDialog::show_standards() {
  std::vector<DeviceChoice> standards;
  if (offer_) {
    // The standards of the input chosen, or of the one the device is on.
    const std::string chosen = input_box_->currentData().toString().toStdString();
    Result<uint32_t> input = chosen.empty() ? Result<uint32_t>(offer_->input.value_or(0))
                                            : choose_input(chosen, *offer_);
    uint64_t takes = offer_->inputs.empty() ? ~uint64_t{0} : 0;
    for (const InputOffer& offered : offer_->inputs) {
      if (input && offered.index == *input) takes = offered.standards;
    }
    for (const StandardOffer& standard : offer_->standards) {
      if ((standard.id & takes) != 0) standards.push_back({standard.name, standard.name});
    }
  }
  const std::optional<V4l2Address> address =
      v4l2_address(source_box_->currentData().toString().toStdString());
  const std::optional<V4l2Address> configured = v4l2_address(settings_.source);
  const bool same = address && configured && configured->path == address->path;
  offer_choices(standard_box_, standards, same ? configured->standard : std::string());
}

std::string VideoSourceDialog::chosen_source() const {
  const std::string source = source_box_->currentData().toString().toStdString();
  std::optional<V4l2Address> address = v4l2_address(source);
  if (!address) return source;
  // The options the settings give this device (format, size, field order)
  // stay; input and standard are the boxes'.
  const std::optional<V4l2Address> configured = v4l2_address(settings_.source);
  if (configured && configured->path == address->path) address = configured;
  address->input = input_box_->currentData().toString().toStdString();
  address->standard = standard_box_->currentData().toString().toStdString();
  return "v4l2:" + v4l2_address_text(*address);
}

void VideoSourceDialog::accept() {
  // Only what the user changed is switched; a device that cannot be opened
  // keeps the dialog open with the reason, and the old one stays in use.
  const std::string source = chosen_source();
  if (!source.empty() && source != settings_.source) {
    const Status switched = devices_.use_source ? devices_.use_source(source) : Status();
    if (!switched) {
      message_->setText(QString::fromStdString(switched.message()));
      message_->show();
      return;
    }
    settings_.source = source;
  }
  const std::string port = port_box_->currentData().toString().toStdString();
  if (!port.empty()) settings_.port = port;
  QDialog::accept();
}

}  // namespace noctra
