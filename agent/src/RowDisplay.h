#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/src/PluginCatalogue.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;

namespace lmr {

class PluginWindow;

// Style sheets of the plug-in manager's table, kept as the look was designed.
namespace rowStyle {
inline constexpr const char* kHeaderPlugins =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 1px;border-bottom-width: "
    "0px;border-left-width: 1px;border-right-width: 0px;color: black;text-align: center;}";
inline constexpr const char* kHeaderBoxed =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 1px;border-bottom-width: "
    "1px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center;}";
inline constexpr const char* kHeaderOpen =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 1px;border-bottom-width: "
    "1px;border-left-width: 0px;border-right-width: 0px;color: black;text-align: center;}";
inline constexpr const char* kName =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "1px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center;}";
inline constexpr const char* kStabilityExperimental =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center;background-color: red; }";
inline constexpr const char* kStabilityBeta =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center; background-color: orange; }";
inline constexpr const char* kStabilityRelease =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center; background-color: lightgreen; "
    "}";
inline constexpr const char* kStabilityUnknown =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "0px;border-left-width: 1px;border-right-width: 1px;color: black;text-align: center; background-color: gray; }";
inline constexpr const char* kImage =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "1px;border-left-width: 1px;border-right-width: 1px;color: black;}";
inline constexpr const char* kDownloaded =
    "QLabel {border-color: #000000;border-style: outset;border-radius: 0px;border-top-width: 0px;border-bottom-width: "
    "1px;border-left-width: 0px;border-right-width: 1px;color: black;background-color: lightgreen;}";
// Dark text on the light colours, as the other row styles have: the dark theme's text is white.
inline constexpr const char* kRedStatus = "QLabel { background-color: red; color: black; }";
inline constexpr const char* kGreenStatus = "QLabel { background-color: lightgreen; color: black; }";
inline constexpr const char* kOrangeStatus = "QLabel { background-color: orange; color: black; }";

[[nodiscard]] const char* forStability(int32_t level);
}  // namespace rowStyle

// One plug-in's row of the manager window. Its widgets are children of the window's table; the
// row itself is kept (and deleted) by the window. Texts from the catalogue and the engine show
// as plain text, never as markup.
class RowDisplay : public QObject {
  Q_OBJECT

 public:
  RowDisplay(const PluginRecord& record, PluginWindow* window, int top, const QStringList& directories);
  ~RowDisplay() override;

  // Shows a later fetch's record at a new top, keeping the first height and pictures.
  void refresh(const PluginRecord& record, int top, const QStringList& directories);

  [[nodiscard]] int rowHeight() const { return height; }
  [[nodiscard]] QLabel* nameWidget() const { return nameLabel; }
  [[nodiscard]] QLabel* stabilityWidget() const { return stabilityLabel; }
  [[nodiscard]] QTextEdit* descriptionWidget() const { return descriptionBox; }
  [[nodiscard]] QLabel* status() const { return statusLabel; }
  [[nodiscard]] QPushButton* downloadButtonWidget() const { return downloadButton; }
  [[nodiscard]] QProgressBar* progressWidget() const { return progressBar; }
  [[nodiscard]] const std::vector<std::shared_ptr<devImage>>& shownImages() const { return images; }

 public slots:
  void download();
  void slotUpdateText(QString Q);
  void slotDownloadEnd();

 private:
  void placeCommonWidgets(int top);
  // The status cell's text, whole, in its style at the row's top.
  void showStatus(const QString& text, const char* style, int top);
  // The button and progress bar of a row that offers a download, made on first need.
  void ensureDownloadWidgets();
  void placeDownloadWidgets(int top);

  QLabel* nameLabel = nullptr;
  QTextEdit* descriptionBox = nullptr;
  QLabel* stabilityLabel = nullptr;
  QPushButton* downloadButton = nullptr;
  QProgressBar* progressBar = nullptr;
  QLabel* statusLabel = nullptr;
  PluginWindow* window;
  PluginRecord record;
  bool hasWindows;
  int32_t height;
  bool downloadStarted = false;
  QStringList directories;
  bool downloadRunning = false;
  QString endText;  // the worker's failure text; a refresh keeps showing it
  // The pictures this row made widgets for; shared with the record they came from.
  std::vector<std::shared_ptr<devImage>> images;
};

}  // namespace lmr
