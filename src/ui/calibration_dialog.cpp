#include "ui/calibration_dialog.h"

#include <QAction>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QVBoxLayout>

#include "camera/exposure_capture.h"
#include "config/frame_metadata.h"

namespace noctra {

namespace {

struct KindText {
  MasterKind kind;
  const char* item;
  const char* title;
  const char* prepare;
};
constexpr KindText kKindTexts[] = {
    {MasterKind::Dark, "&Dark frames...", "Dark frames",
     "Cover the telescope so that no light reaches the camera."},
    {MasterKind::Flat, "&Flat frames...", "Flat frames",
     "Point the telescope, focused as for the night, at an even light: a light box, a "
     "lit screen or the twilight sky."},
    {MasterKind::Bias, "&Bias frames...", "Bias frames",
     "Cover the telescope so that no light reaches the camera."},
};

const KindText& text_of(MasterKind kind) {
  for (const KindText& t : kKindTexts) {
    if (t.kind == kind) return t;
  }
  return kKindTexts[0];
}

QString result_text(const CalibrationResult& result) {
  QString text = QStringLiteral("Master %1 saved: noise %2 ADU")
                     .arg(QString::fromLatin1(master_kind_word(result.kind)))
                     .arg(result.noise, 0, 'f', 2);
  if (result.hot_pixels) text += QStringLiteral(", %1 hot pixels").arg(*result.hot_pixels);
  return text + QStringLiteral("\n") + QString::fromStdString(result.file.string());
}

}  // namespace

CalibrationDialog::CalibrationDialog(CalibrationRun& run, MasterKind kind, const Settings& settings,
                                     QWidget* parent)
    : QDialog(parent), run_(run), kind_(kind) {
  setWindowTitle(QString::fromLatin1(text_of(kind).title));
  auto* layout = new QVBoxLayout(this);
  auto* prepare = new QLabel(QString::fromLatin1(text_of(kind).prepare), this);
  prepare->setWordWrap(true);
  layout->addWidget(prepare);

  auto* form = new QFormLayout;
  frames_ = new QSpinBox(this);
  frames_->setRange(1, 9999);
  frames_->setValue(kDefaultFrames);
  form->addRow(QStringLiteral("&Number of frames:"), frames_);
  const QString exposure =
      kind == MasterKind::Bias
          ? QStringLiteral("the shortest the camera takes (0 ms, no delay)")
          : QStringLiteral("%1 ms, delay %2 ms").arg(settings.exposure).arg(settings.delay);
  form->addRow(QStringLiteral("Exposure:"), new QLabel(exposure, this));
  const bool hi_res = main_readout(settings.hi_res != 0, settings.guiding != 0) == Readout::HighRes;
  const CaptureMode mode = hi_res ? CaptureMode::HighRes : CaptureMode::LowRes;
  form->addRow(QStringLiteral("Mode:"),
               new QLabel(QString::fromLatin1(capture_mode_text(mode).data(),
                                              static_cast<int>(capture_mode_text(mode).size())),
                          this));
  form->addRow(QStringLiteral("Amplifier:"),
               new QLabel(settings.amp_off != 0 ? QStringLiteral("switched off while exposing")
                                                : QStringLiteral("on while exposing"),
                          this));
  layout->addLayout(form);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, kDefaultFrames);
  progress_->setValue(0);
  progress_->setFormat(QStringLiteral("%v / %m"));
  layout->addWidget(progress_);
  result_ = new QLabel(this);
  result_->setWordWrap(true);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(result_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  start_ = new QPushButton(QStringLiteral("&Start"), this);
  start_->setDefault(true);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  buttons->addWidget(start_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  connect(start_, &QPushButton::clicked, this, [this] { start(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });

  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, [this] { show_progress(); });
}

void CalibrationDialog::start() {
  const Status started = run_.start(kind_, frames_->value());
  if (!started) {
    result_->setText(QString::fromStdString(started.message()));
    return;
  }
  started_ = true;
  progress_->setRange(0, frames_->value());
  progress_->setValue(0);
  result_->setText(QStringLiteral("Taking frames..."));
  start_->setEnabled(false);
  frames_->setEnabled(false);
  poll_.start();
}

void CalibrationDialog::show_progress() {
  const CalibrationProgress now = run_.poll();
  progress_->setValue(now.frames_in);
  using State = CalibrationProgress::State;
  if (now.state == State::Combining) {
    result_->setText(QStringLiteral("Combining the frames..."));
    cancel_->setEnabled(false);
  }
  if (!now.over()) return;
  poll_.stop();
  result_->setText(now.state == State::Saved ? result_text(*now.result)
                                             : QString::fromStdString(now.error));
  start_->setEnabled(true);
  frames_->setEnabled(true);
  cancel_->setEnabled(true);
  cancel_->setText(QStringLiteral("Close"));
  started_ = false;
}

void CalibrationDialog::reject() {
  if (started_) {
    if (run_.poll().state == CalibrationProgress::State::Combining) return;
    run_.cancel();
    show_progress();
  }
  QDialog::reject();
}

void add_calibration_items(QMainWindow& window, CalibrationRun& run, const Settings& settings) {
  auto* capture = window.findChild<QMenu*>(QStringLiteral("capture_menu"));
  if (capture == nullptr) capture = window.menuBar()->addMenu(QStringLiteral("&Capture"));
  capture->addSeparator();
  for (const KindText& kind : kKindTexts) {
    QAction* item = capture->addAction(QString::fromLatin1(kind.item));
    QObject::connect(item, &QAction::triggered, &window, [&window, &run, &settings, &kind] {
      CalibrationDialog dialog(run, kind.kind, settings, &window);
      dialog.exec();
    });
  }
  run.add_saved_listener([&window](const CalibrationResult& result) {
    window.statusBar()->showMessage(QStringLiteral("Master %1 saved in %2")
                                        .arg(QString::fromLatin1(master_kind_word(result.kind)),
                                             QString::fromStdString(result.file.string())),
                                    10000);
  });
  auto* watch = new QTimer(&window);
  QObject::connect(watch, &QTimer::timeout, &window, [&run] { run.poll(); });
  watch->start(CalibrationDialog::kPollMs * 2);
}

}  // namespace noctra
