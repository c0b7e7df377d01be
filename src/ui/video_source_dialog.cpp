#include "ui/video_source_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/gui_core.h"

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

}  // namespace

VideoSourceDialog::VideoSourceDialog(GuiCore& core, QWidget* parent)
    : QDialog(parent), core_(core) {
  setWindowTitle(QStringLiteral("Video Source"));
  source_box_ = new QComboBox;
  port_box_ = new QComboBox;
  fill(source_box_, core_.list_sources(), core_.settings().source);
  fill(port_box_, core_.list_ports(), core_.settings().port);
  message_ = new QLabel;
  message_->setWordWrap(true);
  message_->setStyleSheet(QStringLiteral("color: #a00000"));
  message_->hide();
  auto* note = new QLabel(QString::fromStdString(core_.device_change_note()));
  note->setWordWrap(true);
  note->setVisible(!core_.device_change_note().empty());

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
  std::string error;
  const std::string source = source_box_->currentData().toString().toStdString();
  if (!source.empty() && source != core_.settings().source && !core_.use_source(source, &error)) {
    message_->setText(QString::fromStdString(error));
    message_->show();
    return;
  }
  const std::string port = port_box_->currentData().toString().toStdString();
  if (!port.empty() && port != core_.settings().port && !core_.use_port(port, &error)) {
    message_->setText(QString::fromStdString(error));
    message_->show();
    return;
  }
  QDialog::accept();
}

}  // namespace noctra
