#include "ui/video_source_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

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

}  // namespace

VideoSourceDialog::VideoSourceDialog(Settings& settings, const DeviceCatalog& devices,
                                     QWidget* parent)
    : QDialog(parent), settings_(settings), devices_(devices) {
  setWindowTitle(QStringLiteral("Video Source"));
  source_box_ = new QComboBox;
  port_box_ = new QComboBox;
  fill(source_box_, listed(devices_.sources), settings_.source);
  fill(port_box_, listed(devices_.ports), settings_.port);
  message_ = new QLabel;
  message_->setWordWrap(true);
  message_->setStyleSheet(QStringLiteral("color: #a00000"));
  message_->hide();
  auto* note = new QLabel(QString::fromStdString(devices_.note));
  note->setWordWrap(true);
  note->setVisible(!devices_.note.empty());

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Capture device:"), source_box_);
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

void VideoSourceDialog::accept() {
  // Only what the user changed is switched; a device that cannot be opened
  // keeps the dialog open with the reason, and the old one stays in use.
  const std::string source = source_box_->currentData().toString().toStdString();
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
