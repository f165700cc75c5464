#include "agent/src/PluginCatalogue.h"

#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>

#include <cstdio>
#include <optional>
#include <utility>

#include "agent/src/CatalogueHttp.h"
#include "agent/src/DownloadFile.h"
#include "log/console_log.h"

namespace lmr {
namespace {

// Longest part of an unparsable catalogue echoed into the debug line.
constexpr int kEchoedTextCap = 1024;
// The catalogue member naming this platform's plug-in file; other platforms' files never count.
constexpr const char* kPlatformFileMember = "Linux";
// Pictures read from a catalogue, in all and per plug-in (each adds 50 pixels to its row).
constexpr std::size_t kMaxImages = 256;
constexpr std::size_t kMaxImagesPerPlugin = 8;

std::optional<std::string> textMember(const Value& object, const char* name) {
  const Value& value = member(object, name);
  if (value.IsString()) {
    return std::string(value.GetString(), value.GetStringLength());
  }
  if (!value.IsNull()) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: member %s is not a text\n", name);
  }
  return std::nullopt;
}

// An optional text member, looked up without the missing-member notice.
std::optional<std::string> optionalText(const Value& object, const char* name) {
  const auto found = object.FindMember(name);
  if (found == object.MemberEnd() || !found->value.IsString()) {
    return std::nullopt;
  }
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

// Missing, null or of another type: 0.
int32_t versionMember(const Value& object, const char* name) {
  const Value& value = member(object, name);
  if (value.IsInt()) {
    return value.GetInt();
  }
  if (!value.IsNull()) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: member %s is not an integer; read as 0\n", name);
  }
  return 0;
}

struct ImageEntry {
  std::string proxy;
  std::string vendor;
  std::string product;
  std::string pngUrl;
  std::string icnsUrl;
};

// The usable elements of "Images": texts present, names fit for a file, addresses with a host.
std::vector<ImageEntry> readImages(const Value& document) {
  std::vector<ImageEntry> images;
  const Value& list = member(document, "Images");
  if (!list.IsArray()) {
    return images;
  }
  for (rapidjson::SizeType index = 0; index < list.Size(); ++index) {
    const Value& element = list[index];
    if (!element.IsObject()) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: image %u is not an object; skipped\n", index);
      continue;
    }
    const auto proxy = textMember(element, "Proxy");
    const auto vendor = textMember(element, "Vendor");
    const auto product = textMember(element, "Product");
    const auto png = textMember(element, "PNG_URL");
    const auto icns = textMember(element, "ICNS_URL");
    if (!proxy || !vendor || !product || !png || !icns) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: image %u lacks a text; skipped\n", index);
      continue;
    }
    if (!isPlainFileName(*vendor) || !isPlainFileName(*product)) {
      writeLog(kLogWarning, LOG_FILE, __LINE__,
               "Catalogue: image %u has a vendor or product unfit for a file name; skipped\n", index);
      continue;
    }
    if (!splitAddress(*png) || !splitAddress(*icns)) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: image %u has an address without host and path; skipped\n",
               index);
      continue;
    }
    if (images.size() == kMaxImages) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: %u pictures from image %u on left out\n",
               list.Size() - index, index);
      break;
    }
    images.push_back(ImageEntry{*proxy, *vendor, *product, *png, *icns});
  }
  return images;
}

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

devImage::devImage(QString vendor, QString product, QString pngUrl, QString icnsUrl)
    : Vendor(std::move(vendor)),
      Product(std::move(product)),
      PNG_URL(std::move(pngUrl)),
      ICNS_URL(std::move(icnsUrl)) {}

QString devImage::filePath(const QString& folder, const char* extension) const {
  return folder + Vendor + "_" + Product + extension;
}

void devImage::refreshState() {
  for (const QString& folder : pictureFolders) {
    const bool both = QFileInfo(filePath(folder, ".png")).isFile() && QFileInfo(filePath(folder, ".icns")).isFile();
    if (getButton) {
      getButton->setVisible(!both);
    }
    if (downloadedLabel) {
      downloadedLabel->setVisible(both);
    }
    if (both) {
      return;
    }
  }
}

void devImage::getImage() {
  const auto png = splitAddress(PNG_URL.toStdString());
  const auto icns = splitAddress(ICNS_URL.toStdString());
  // Both files together get the time of one window-thread fetch.
  const HttpDeadline deadline = windowFetchDeadline();
  if (png && icns) {
    for (const QString& folder : pictureFolders) {
      if (downloadToFile(png->host, png->path, filePath(folder, ".png").toStdString(), kPictureBodyCap, nullptr,
                         deadline) == DownloadResult::CannotCreate) {
        continue;
      }
      if (downloadToFile(icns->host, icns->path, filePath(folder, ".icns").toStdString(), kPictureBodyCap, nullptr,
                         deadline) == DownloadResult::CannotCreate) {
        continue;
      }
      break;
    }
  }
  refreshState();
}

PluginRecord::PluginRecord(QString name, QString url, QString windows, QString description, QString contact,
                           int32_t level_, int32_t major, int32_t minor, bool hasWindows_)
    : Name(std::move(name)),
      URL(std::move(url)),
      Windows(std::move(windows)),
      Description(std::move(description)),
      Contact(std::move(contact)),
      level(level_),
      Major(major),
      Minor(minor),
      hasWindows(hasWindows_) {}

QString stabilityName(const PluginRecord& record) {
  switch (record.level) {
    case 0: return QStringLiteral("experimental");
    case 1: return QStringLiteral("beta");
    case 2: return QStringLiteral("release");
    default: return QStringLiteral("unknown");
  }
}

int32_t certificationLevel(const std::string& certification) {
  if (certification == "experimental") {
    return 0;
  }
  if (certification == "beta") {
    return 1;
  }
  if (certification == "release") {
    return 2;
  }
  return -1;
}

void readCatalogue(const Document& document, std::map<QString, PluginRecord>& catalogue) {
  const std::vector<ImageEntry> images = readImages(document);
  const Value& plugins = member(document, "Plugins");
  if (!plugins.IsArray()) {
    writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: no list of plug-ins\n");
    return;
  }
  for (rapidjson::SizeType index = 0; index < plugins.Size(); ++index) {
    const Value& element = plugins[index];
    if (!element.IsObject()) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: plug-in %u is not an object; skipped\n", index);
      continue;
    }
    const auto name = textMember(element, "Name");
    const auto url = textMember(element, "URL");
    const auto description = textMember(element, "Description");
    const auto contact = textMember(element, "Contact");
    const auto certification = textMember(element, "Certification");
    if (!name || name->empty() || !url || !description || !contact || !certification) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: plug-in %u lacks a required text; skipped\n", index);
      continue;
    }
    if (!splitAddress(*url)) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: plug-in %s has an address without host and path; skipped\n",
               name->c_str());
      continue;
    }
    // Only this platform's build: another platform's file would not load here.
    std::optional<std::string> file = optionalText(element, kPlatformFileMember);
    if (file && !isPlainFileName(*file)) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: plug-in %s names an unusable file; not offered\n",
               name->c_str());
      file.reset();
    }
    const int32_t major = versionMember(element, "Major");
    const int32_t minor = versionMember(element, "Minor");

    std::printf("<<<<PLUGIN>>>>> %s - %s - %s\n", name->c_str(), url->c_str(), description->c_str());
    std::fflush(stdout);

    PluginRecord record(fromUtf8(*name), fromUtf8(*url), fromUtf8(file.value_or(std::string())), fromUtf8(*description),
                        fromUtf8(*contact), certificationLevel(*certification), major, minor, file.has_value());
    std::size_t pictures = 0;
    for (const ImageEntry& image : images) {
      if (image.proxy != *name) {
        continue;
      }
      if (++pictures <= kMaxImagesPerPlugin) {
        record.images.push_back(std::make_shared<devImage>(fromUtf8(image.vendor), fromUtf8(image.product),
                                                           fromUtf8(image.pngUrl), fromUtf8(image.icnsUrl)));
      }
    }
    if (pictures > kMaxImagesPerPlugin) {
      writeLog(kLogWarning, LOG_FILE, __LINE__, "Catalogue: %zu pictures of plug-in %s left out\n",
               pictures - kMaxImagesPerPlugin, name->c_str());
    }
    const QString key = record.Name;
    catalogue[key] = std::move(record);
  }
}

bool parseCatalogueText(const std::string& text, Document& document) {
  const std::string json = text.substr(0, text.find('\0'));
  rapidjson::StringStream stream(json.c_str());
  if (parseBounded(document, stream)) {
    return true;
  }
  // Second pass only to name what is wrong: the offset and rapidjson's reason.
  Document probe;
  probe.Parse<rapidjson::kParseIterativeFlag>(json.c_str());
  const std::string reason = probe.HasParseError() ? std::string(rapidjson::GetParseError_En(probe.GetParseError())) +
                                                         " at offset " + std::to_string(probe.GetErrorOffset())
                                                   : std::string("nested too deeply");
  qDebug().noquote() << QString("Unable to parse Json document: ") + fromUtf8(json).left(kEchoedTextCap) +
                            " -> corrupted (" + fromUtf8(reason) + ")\n";
  return false;
}

}  // namespace lmr
