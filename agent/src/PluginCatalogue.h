#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/src/Json.h"

class QLabel;
class QPushButton;

namespace lmr {

// One device picture of a plug-in with the widgets its row made for it. Rows and records
// share it, so its buttons keep working after a later fetch replaced the record.
class devImage : public QObject {
  Q_OBJECT

 public:
  devImage(QString vendor, QString product, QString pngUrl, QString icnsUrl);

  QString Vendor;
  QString Product;
  QString PNG_URL;
  QString ICNS_URL;
  QPointer<QPushButton> getButton;
  QPointer<QLabel> downloadedLabel;
  QPointer<QLabel> imageLabel;
  // Folders the pictures go to, each ending in '/'; set by the row that shows this picture.
  QStringList pictureFolders;

  // Shows "Downloaded" when some folder holds both files, else "GET IT !".
  void refreshState();

 public slots:
  // Fetches the .png and the .icns into the first folder that takes them.
  void getImage();

 private:
  [[nodiscard]] QString filePath(const QString& folder, const char* extension) const;
};

// A plug-in offered by the catalogue, or an installed one the catalogue lacks.
struct PluginRecord {
  PluginRecord() = default;
  PluginRecord(QString name, QString url, QString windows, QString description, QString contact, int32_t level,
               int32_t major, int32_t minor, bool hasWindows);

  QString Name;
  QString URL;
  QString Windows;  // this platform's plug-in file name; empty when the catalogue offers none
  QString Description;
  QString Contact;
  int32_t level = -1;  // 0 experimental, 1 beta, 2 release, -1 anything else
  int32_t Major = 0;
  int32_t Minor = 0;
  bool installed = false;
  bool outdated = false;
  bool hasWindows = false;
  std::vector<std::shared_ptr<devImage>> images;
};

[[nodiscard]] QString stabilityName(const PluginRecord& record);

// Certification text to level: exact, case-sensitive.
[[nodiscard]] int32_t certificationLevel(const std::string& certification);

// Builds the records of a parsed "plugins.json" into catalogue (a later element of the same
// Name replaces an earlier one). Elements that are not objects, lack a required text, have a
// URL without a host and a '/', or give unusable file names are left out with a log line;
// the others are kept.
void readCatalogue(const Document& document, std::map<QString, PluginRecord>& catalogue);

// Parses the received catalogue text (up to its first NUL). False, with the debug line, when it
// is not JSON.
bool parseCatalogueText(const std::string& text, Document& document);

}  // namespace lmr
