#include "agent/src/Theme.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QWidget>

#include "log/console_log.h"
#include "platform/appearance.h"
#include "platform/title_bar.h"

// Registration function of the compiled resources. Referring to it makes every program that
// uses the theme link the resource objects, whose static initialiser registers them.
int qInitResources_agent();
__attribute__((used)) static int (*const resourceAnchor)() = &qInitResources_agent;

namespace {

constexpr const char* kDarkLinkColour = "color: rgb(42, 130, 218);";
constexpr const char* kLightLinkColour = "color: rgb(0, 0, 255);";
// Text of disabled widgets and entries in the dark theme: white would look enabled.
const QColor kDarkDisabledText(128, 128, 128);

QPalette buildDarkPalette() {
  // A default palette is the application's current one: every role not listed keeps its value.
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(0, 0, 0));
  dark.setColor(QPalette::WindowText, Qt::white);
  dark.setColor(QPalette::Base, QColor(25, 25, 25));
  dark.setColor(QPalette::AlternateBase, QColor(50, 50, 50));
  dark.setColor(QPalette::ToolTipBase, Qt::black);
  dark.setColor(QPalette::ToolTipText, Qt::white);
  dark.setColor(QPalette::Text, Qt::white);
  dark.setColor(QPalette::Button, QColor(50, 50, 50));
  dark.setColor(QPalette::ButtonText, Qt::white);
  dark.setColor(QPalette::BrightText, Qt::red);
  dark.setColor(QPalette::Link, QColor(42, 130, 218));
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, Qt::black);
  for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    dark.setColor(QPalette::Disabled, role, kDarkDisabledText);
  }
  return dark;
}

// The dark sheet's text; false when the resource cannot be read.
bool readDarkStyleSheet(QString& sheet) {
  QFile file(QString::fromLatin1(QBXTheme::kDarkStyleSheetResource));
  if (!file.open(QIODevice::ReadOnly)) {
    return false;
  }
  sheet = QString::fromUtf8(file.readAll());
  return true;
}

// True when the text is made of rules, each a selector before a braced block of declarations, and
// nothing else. Qt warns "Could not parse application stylesheet" at every polish of a sheet it
// cannot read (such as the light sheet, a bare selector list) and styles nothing with it.
bool isParsableStyleSheet(const QString& sheet) {
  int depth = 0;
  bool selectorSeen = false;
  for (int i = 0; i < sheet.size(); ++i) {
    const QChar c = sheet.at(i);
    if (c == QLatin1Char('/') && i + 1 < sheet.size() && sheet.at(i + 1) == QLatin1Char('*')) {
      const int end = sheet.indexOf(QLatin1String("*/"), i + 2);
      if (end < 0) {
        return false;
      }
      i = end + 1;
    } else if (c == QLatin1Char('{')) {
      if (depth == 0 && !selectorSeen) {
        return false;
      }
      ++depth;
    } else if (c == QLatin1Char('}')) {
      if (--depth < 0) {
        return false;
      }
      selectorSeen = selectorSeen && depth > 0;
    } else if (depth == 0 && !c.isSpace()) {
      selectorSeen = true;
    }
  }
  return depth == 0 && !selectorSeen;
}

// The sheet to set: none where Qt could not parse it, which looks the same without the warning.
QString usableStyleSheet(const QString& sheet) { return isParsableStyleSheet(sheet) ? sheet : QString(); }

QColor applicationForeground() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    return QColor(0, 0, 0);
  }
  return QGuiApplication::palette().color(QPalette::WindowText);
}

void setApplicationPalette(const QPalette& palette) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) {
    QApplication::setPalette(palette);
  } else {
    QGuiApplication::setPalette(palette);
  }
}

}  // namespace

QBXTheme::QBXTheme() : appearance_(platform::Appearance::create(applicationForeground())) {}

QBXTheme::~QBXTheme() {
  QBXTheme*& current = instance(false);
  if (current == this) {
    current = nullptr;
  }
}

QBXTheme*& QBXTheme::instance(bool create) {
  // Owned through this pointer: it is deleted at the application's aboutToQuit.
  static QBXTheme* theme = nullptr;
  if (theme == nullptr && create) {
    theme = new QBXTheme();
  }
  return theme;
}

bool QBXTheme::isDarkForeground(const QColor& foreground) {
  return 5 * foreground.green() + 2 * foreground.red() + foreground.blue() > 1024;
}

bool QBXTheme::isDark() const { return isDarkForeground(appearance_->foreground()); }

void QBXTheme::install(QApplication* application) {
  QBXTheme* theme = instance(true);
  if (application == nullptr) {
    return;
  }
  theme->lightPalette_ = std::make_unique<QPalette>(application->palette());
  theme->darkPalette_ = std::make_unique<QPalette>(buildDarkPalette());
  if (theme->isDark()) {
    QApplication::setPalette(*theme->darkPalette_);
  }
  theme->applyStyleSheet(application);
  theme->subscribe();
  connect(theme, &QBXTheme::signalThemeChanged, theme, &QBXTheme::slotThemeChanged, Qt::UniqueConnection);
  connect(application, &QCoreApplication::aboutToQuit, theme, &QBXTheme::slotApplicationAboutToQuit,
          Qt::UniqueConnection);
}

void QBXTheme::subscribe() {
  if (subscribed_) {
    return;
  }
  subscribed_ = true;
  // The source is owned by the theme, so the subscription ends with it.
  appearance_->subscribe([this] { emit signalThemeChanged(); });
}

void QBXTheme::applyStyleSheet(QApplication* application) const {
  if (application == nullptr) {
    return;
  }
  if (isDark()) {
    QString sheet;
    if (readDarkStyleSheet(sheet)) {
      application->setStyleSheet(usableStyleSheet(sheet));
    }
    return;
  }
  application->setStyleSheet(usableStyleSheet(QString::fromLatin1(kLightStyleSheet)));
}

QString QBXTheme::linkStyledText(const QString& text) const {
  const QString attribute = QStringLiteral(" style=\"") +
                            QString::fromLatin1(isDark() ? kDarkLinkColour : kLightLinkColour) + QStringLiteral("\"");
  QString result = text;
  int from = 0;
  for (;;) {
    const int tag = result.indexOf(QLatin1String("<a"), from, Qt::CaseSensitive);
    if (tag < 0) {
      break;
    }
    const int close = result.indexOf(QLatin1Char('>'), tag);
    if (close < 0) {
      break;
    }
    result.insert(close, attribute);
    from = close + attribute.size() + 1;
  }
  return result;
}

void QBXTheme::addThemedWindow(QWidget* window) {
  if (window == nullptr) {
    return;
  }
  themedWindows_.insert(window);
  connect(window, &QObject::destroyed, this, &QBXTheme::slotObjectDestroyed, Qt::UniqueConnection);
}

void QBXTheme::addThemeCallback(Callback* callback) {
  if (callback != nullptr) {
    themeCallbacks_.push_back(callback);
  }
}

void QBXTheme::slotObjectDestroyed(QObject* object) {
  for (auto it = themedWindows_.begin(); it != themedWindows_.end(); ++it) {
    if (static_cast<QObject*>(*it) == object) {
      themedWindows_.erase(it);
      return;
    }
  }
}

void QBXTheme::resetQLabelLink(QLabel* pLabel) {
  if (pLabel != nullptr) {
    pLabel->setText(linkStyledText(pLabel->text()));
  }
}

void QBXTheme::slotThemeChanged() {
  if (!lightPalette_ || !darkPalette_) {
    return;  // not installed: nothing to switch between
  }
  const bool dark = isDark();
  const QPalette palette = dark ? *darkPalette_ : *lightPalette_;
  setApplicationPalette(palette);
  if (auto* application = qobject_cast<QApplication*>(QCoreApplication::instance())) {
    applyStyleSheet(application);
  }
  // A window's slot may close others; walk a copy.
  const std::set<QWidget*> windows = themedWindows_;
  for (QWidget* window : windows) {
    if (themedWindows_.count(window) == 0) {
      continue;
    }
    connect(window, &QObject::destroyed, this, &QBXTheme::slotObjectDestroyed, Qt::UniqueConnection);
    platform::setDarkTitleBar(window, dark);
    window->setPalette(palette);
    for (QWidget* child : window->findChildren<QWidget*>()) {
      child->setPalette(palette);
      if (auto* label = qobject_cast<QLabel*>(child)) {
        label->setText(linkStyledText(label->text()));
      }
    }
    if (dark) {
      QString sheet;
      if (readDarkStyleSheet(sheet)) {
        window->setStyleSheet(usableStyleSheet(sheet));
      }
    } else {
      window->setStyleSheet(usableStyleSheet(QString::fromLatin1(kLightStyleSheet)));
    }
  }
  for (Callback* callback : themeCallbacks_) {
    callback->themeChanged(dark);
  }
}

void QBXTheme::slotApplicationAboutToQuit() {
  QBXTheme*& current = instance(false);
  QBXTheme* theme = current;
  current = nullptr;
  delete theme;
}
