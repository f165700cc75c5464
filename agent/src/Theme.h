#pragma once

#include <QObject>
#include <QPalette>
#include <QString>

#include <memory>
#include <set>
#include <vector>

class QApplication;
class QLabel;
class QWidget;

namespace platform {
class Appearance;
}

// The process-wide theme: follows the desktop's foreground colour, switching the application
// between a dark palette with the dark style sheet and the palette it started with.
class QBXTheme : public QObject {
  Q_OBJECT

 public:
  // Told of every theme change on the GUI thread (true = dark).
  class Callback {
   public:
    virtual ~Callback() = default;
    virtual void themeChanged(bool dark) = 0;
  };

  // The light sheet: a bare selector list. Qt cannot parse it, so applying it sets no sheet at all,
  // which clears any dark sheet.
  static constexpr const char* kLightStyleSheet =
      "QPushButton QLineEdit QToolButton QComboBox QScrollBar QToolTip QMenu QMenuBar";
  // Resource holding the dark sheet.
  static constexpr const char* kDarkStyleSheetResource = ":/bx_dark_theme";

  // The singleton pointer; with create, the theme is built first when there is none.
  static QBXTheme*& instance(bool create);

  // Builds the palettes, applies the current theme and follows later changes. Called once
  // at start-up, after the application font is set; the theme ends at aboutToQuit.
  static void install(QApplication* application);

  // True when the desktop's foreground colour is light; asked afresh on every call.
  [[nodiscard]] bool isDark() const;
  // The brightness test behind isDark: 5*G + 2*R + B above 1024.
  [[nodiscard]] static bool isDarkForeground(const QColor& foreground);
  // Dark: the resource sheet (left alone when it cannot be read); light: the short sheet.
  void applyStyleSheet(QApplication* application) const;
  // Every "<a ...>" tag of text with a link colour attribute for the current theme.
  [[nodiscard]] QString linkStyledText(const QString& text) const;

  // Windows and callbacks themed on every change besides the application itself.
  void addThemedWindow(QWidget* window);
  void addThemeCallback(Callback* callback);

  [[nodiscard]] const QPalette* lightPalette() const { return lightPalette_.get(); }
  [[nodiscard]] const QPalette* darkPalette() const { return darkPalette_.get(); }

  ~QBXTheme() override;

 signals:
  void signalThemeChanged();

 public slots:
  void slotObjectDestroyed(QObject* object);
  void resetQLabelLink(QLabel* pLabel);
  void slotThemeChanged();
  void slotApplicationAboutToQuit();

 private:
  QBXTheme();
  void subscribe();

  std::unique_ptr<QPalette> lightPalette_;
  std::unique_ptr<QPalette> darkPalette_;
  std::unique_ptr<platform::Appearance> appearance_;
  std::set<QWidget*> themedWindows_;
  std::vector<Callback*> themeCallbacks_;
  bool subscribed_ = false;
};
