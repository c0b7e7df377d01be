#include "ui/about_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "config/version.h"
#include "ui/pictures.h"

namespace noctra {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  auto* icon = new QLabel;
  icon->setPixmap(QPixmap::fromImage(program_icon_image(32)));
  icon->setProperty("id", 2);
  auto* product = new QLabel(QString::fromUtf8(kVersionText));
  product->setTextFormat(Qt::PlainText);
  auto* copyright = new QLabel(QStringLiteral("Copyright (C) 2026 the Noctra developers"));
  auto* ok = new QPushButton(QStringLiteral("OK"));
  ok->setProperty("id", 1);
  ok->setDefault(true);
  auto* description =
      new QLabel(QStringLiteral("Long exposure image capture software for modified CCTV cameras."));
  description->setWordWrap(true);
  description->setMinimumWidth(220);
  auto* device = new QLabel(QStringLiteral("PCI (VFW) video capture card."));
  device->setProperty("id", kAboutDeviceLine);
  device->setObjectName(QStringLiteral("device_line"));

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(16);
  grid->addWidget(icon, 0, 0, 4, 1, Qt::AlignTop);
  grid->addWidget(product, 0, 1);
  grid->addWidget(ok, 0, 2, Qt::AlignTop);
  grid->addWidget(description, 1, 1, 1, 2);
  grid->addWidget(device, 2, 1, 1, 2);
  grid->addWidget(copyright, 3, 1, 1, 2);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  // The line names the capture device Noctra drives.
  device->setText(QStringLiteral("Hauppauge USB video capture."));
}

}  // namespace noctra
