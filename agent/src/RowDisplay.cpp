#include "agent/src/RowDisplay.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>

#include <algorithm>

#include "agent/src/CellText.h"
#include "agent/src/DownloadWorker.h"
#include "agent/src/PluginWindow.h"

namespace lmr {
namespace {

constexpr int kImageRowHeight = 50;
constexpr int kNameX = 30;
constexpr int kNameWidth = 120;
constexpr int kDescriptionX = 150;
constexpr int kDescriptionWidth = 200;
constexpr int kStabilityX = 350;
constexpr int kStabilityWidth = 90;
constexpr int kStatusX = 440;
constexpr int kStatusWidth = 120;
constexpr int kImageX = 560;
constexpr int kImageWidth = 120;
constexpr int kImageButtonX = 680;
constexpr int kImageButtonWidth = 100;

// Plain text: markup from the network (an <img> reading a device file) must never be rendered.
QLabel* centredLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

}  // namespace

const char* rowStyle::forStability(int32_t level) {
  switch (level) {
    case 0: return kStabilityExperimental;
    case 1: return kStabilityBeta;
    case 2: return kStabilityRelease;
    default: return kStabilityUnknown;
  }
}

RowDisplay::RowDisplay(const PluginRecord& record_, PluginWindow* window_, int top, const QStringList& directories_)
    : window(window_),
      record(record_),
      hasWindows(record_.hasWindows),
      height(kImageRowHeight * std::max<int32_t>(1, static_cast<int32_t>(record_.images.size()))),
      directories(directories_) {
  QWidget* table = window->tableWidget();
  nameLabel = centredLabel(QString(), table);
  nameLabel->setStyleSheet(rowStyle::kName);
  descriptionBox = new QTextEdit(table);
  descriptionBox->setAcceptRichText(false);
  stabilityLabel = centredLabel(QString(), table);
  placeCommonWidgets(top);

  statusLabel = centredLabel(QString(), table);
  if (record.installed) {
    const bool outdated = record.outdated;
    showStatus(outdated ? "OUTDATED" : "UP TO DATE", outdated ? rowStyle::kRedStatus : rowStyle::kGreenStatus, top);
    statusLabel->show();
  } else if (hasWindows) {
    showStatus("RESTART LUMORA", rowStyle::kRedStatus, top);
    statusLabel->hide();
    ensureDownloadWidgets();
    placeDownloadWidgets(top);
    downloadButton->show();
  } else {
    showStatus("N/A FOR YOUR\nSYSTEM", rowStyle::kRedStatus, top);
    statusLabel->show();
  }

  for (size_t index = 0; index < record.images.size(); ++index) {
    const std::shared_ptr<devImage>& image = record.images[index];
    const int y = top + kImageRowHeight * static_cast<int>(index);
    image->imageLabel = centredLabel(QString(), table);
    image->imageLabel->setGeometry(kImageX, y, kImageWidth, kImageRowHeight);
    image->imageLabel->setStyleSheet(rowStyle::kImage);
    showElidedText(image->imageLabel, image->Vendor + "\n" + image->Product);
    image->imageLabel->show();
    image->downloadedLabel = centredLabel("Downloaded", table);
    image->downloadedLabel->setGeometry(kImageButtonX, y, kImageButtonWidth, kImageRowHeight);
    image->downloadedLabel->setStyleSheet(rowStyle::kDownloaded);
    image->downloadedLabel->hide();
    image->getButton = new QPushButton("GET IT !", table);
    image->getButton->setGeometry(kImageButtonX, y, kImageButtonWidth, kImageRowHeight);
    image->getButton->show();
    connect(image->getButton, &QPushButton::released, image.get(), &devImage::getImage);
    image->pictureFolders = window->pictureFolderList();
    images.push_back(image);
    image->refreshState();
  }
}

RowDisplay::~RowDisplay() = default;

void RowDisplay::placeCommonWidgets(int top) {
  nameLabel->setGeometry(kNameX, top, kNameWidth, height);
  showElidedText(nameLabel, record.Name);
  nameLabel->show();
  descriptionBox->setPlainText(record.Description);
  descriptionBox->setReadOnly(true);
  descriptionBox->setGeometry(kDescriptionX, top, kDescriptionWidth, height);
  descriptionBox->show();
  stabilityLabel->setStyleSheet(rowStyle::forStability(record.level));
  stabilityLabel->setGeometry(kStabilityX, top, kStabilityWidth, height);
  showWholeText(stabilityLabel, stabilityName(record));
  stabilityLabel->show();
}

void RowDisplay::showStatus(const QString& text, const char* style, int top) {
  statusLabel->setStyleSheet(style);
  statusLabel->setGeometry(kStatusX, top, kStatusWidth, height);
  showWholeText(statusLabel, text);
}

void RowDisplay::ensureDownloadWidgets() {
  if (downloadButton == nullptr) {
    downloadButton = new QPushButton("DOWNLOAD\nNOW", window->tableWidget());
    connect(downloadButton, &QPushButton::released, this, &RowDisplay::download);
  }
  if (progressBar == nullptr) {
    progressBar = new QProgressBar(window->tableWidget());
    progressBar->setRange(0, 0);  // busy: the transfer's size is not known in advance
    progressBar->setTextVisible(false);
    progressBar->hide();
  }
}

void RowDisplay::placeDownloadWidgets(int top) {
  downloadButton->setGeometry(kStatusX, top, kStatusWidth, height);
  progressBar->setGeometry(kStatusX, top, kStatusWidth, height);
  progressBar->setFixedSize(kStatusWidth, height);
}

void RowDisplay::refresh(const PluginRecord& record_, int top, const QStringList& directories_) {
  for (const QString& directory : directories_) {
    if (!directories.contains(directory)) {
      directories.append(directory);
    }
  }
  record = record_;
  placeCommonWidgets(top);

  if (!record.installed && !hasWindows) {
    statusLabel->setGeometry(kStatusX, top, kStatusWidth, height);
    return;
  }
  if (!record.installed) {
    ensureDownloadWidgets();
    placeDownloadWidgets(top);
    showStatus(endText.isEmpty() ? QStringLiteral("RESTART LUMORA") : endText, rowStyle::kRedStatus, top);
    statusLabel->setVisible(downloadStarted && !downloadRunning);
    downloadButton->setVisible(!downloadStarted);
    progressBar->setVisible(downloadRunning);
    return;
  }
  showStatus(record.outdated ? "OUTDATED" : "UP TO DATE",
             record.outdated ? rowStyle::kRedStatus : rowStyle::kGreenStatus, top);
  if (downloadButton != nullptr) {
    downloadButton->hide();
  }
  if (progressBar != nullptr) {
    progressBar->hide();
  }
  statusLabel->show();
}

void RowDisplay::download() {
  if (downloadStarted) {
    return;
  }
  downloadStarted = true;
  downloadRunning = true;
  downloadButton->hide();
  statusLabel->hide();
  progressBar->show();

  QStringList installed;
  for (const auto& entry : window->installed()) {
    installed << entry.first;
  }
  auto worker = std::make_unique<downloadWorker>(record, directories, installed);
  connect(worker.get(), &downloadWorker::signalUpdateText, this, &RowDisplay::slotUpdateText, Qt::QueuedConnection);
  connect(worker.get(), &downloadWorker::signalDownloadEnd, this, &RowDisplay::slotDownloadEnd, Qt::QueuedConnection);
  window->startDownload(std::move(worker));
}

void RowDisplay::slotUpdateText(QString Q) {
  endText = Q;
  showWholeText(statusLabel, Q);
}

void RowDisplay::slotDownloadEnd() {
  downloadRunning = false;
  if (progressBar != nullptr) {
    progressBar->hide();
  }
  statusLabel->show();
}

}  // namespace lmr
