#include "agent/src/Config.h"

#include <rapidjson/filereadstream.h>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <utility>

#include "log/console_log.h"
#include "platform/app_data.h"

namespace lmr {
namespace {

constexpr const char* kCompanyFolder = "Brixel Technologies";
constexpr const char* kUserProductFolder = "lumora";
constexpr const char* kMachineProductFolder = "Lumora";  // the machine-wide tree is spelt with a capital
constexpr const char* kConfigFileName = "config.json";
constexpr size_t kReadBufferSize = 65536;
// Links followed from config.json to the file it names, as the system's own limit.
constexpr int kMaxLinkHops = 40;
// Names tried for the temporary file of a save before giving up.
constexpr int kTemporaryNameAttempts = 100;

struct DefaultPlugin {
  const char* name;
  const char* descr;
  bool enabled;
};

constexpr DefaultPlugin kDefaultPlugins[] = {
    {"svcwatch", "Default Device discovery via Bonjour", true},
    {"annwatch", "SAP Streams discovery (Dante & AES67)", false},
    {"relay_kelvane", "Brixel Kelvane based devices proxy (Brixel Zandor/Quarvel & Fendral KV20)", true},
    {"relay_brixel", "Brixel generic proxy (Brixel Pavlix, Quarvel MkI, Nimbrel, Tundrix, Drennic, Fostrel and more",
     true},
    {"relay_legacy", "Brixel legacy proxy for Tundrix", true},
    {"relay_quill", "Taskel Morvath based devices proxy", true},
    {"vextro", "Vextro devices proxy", false},
    {"relay_ostra", "Oscavan wPlex based devices proxy", false},
    {"relay_cobalt", "Brantel Cairn proxy", false},
    {"relay_replay", "Debugging purpose proxy", false},
};

std::string join(const std::string& folder, const char* name) { return folder + Config::kSeparator + name; }

Value::StringRefType keyOf(const char* name) { return Value::StringRefType(name); }

// Walks the key path; prints the find message when a value on the way is not an object.
const Value* walk(const Value* current, Config::KeyPath keyPath) {
  for (const char* name : keyPath) {
    if (!current->IsObject()) {
      std::printf("not an object [%s]\n", name);
      std::fflush(stdout);
      return nullptr;
    }
    const auto found = current->FindMember(keyOf(name));
    if (found == current->MemberEnd()) {
      return nullptr;
    }
    current = &found->value;
  }
  return current;
}

bool readsAsEnabled(const Value& value) {
  if (value.IsBool()) {
    return value.GetBool();
  }
  return value.IsNumber() && value.GetDouble() != 0.0;
}

// Hands the parser at most limit bytes of a stream; past them the text seems to end there, and
// overLimit tells whether more was waiting.
template <typename Stream>
class LimitedStream {
 public:
  using Ch = typename Stream::Ch;

  LimitedStream(Stream& inner, size_t limit) : inner_(inner), limit_(limit) {}

  Ch Peek() const { return inner_.Tell() < limit_ ? inner_.Peek() : Ch('\0'); }
  Ch Take() { return inner_.Tell() < limit_ ? inner_.Take() : Ch('\0'); }
  size_t Tell() const { return inner_.Tell(); }
  [[nodiscard]] bool overLimit() const { return inner_.Tell() >= limit_ && inner_.Peek() != Ch('\0'); }

  // Output side of the stream concept; the reader uses it only for in-place parsing, never here.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  Stream& inner_;
  size_t limit_;
};

// The document in the file at path, or null when the file cannot be opened, exceeds
// Config::kMaxFileSize, does not parse or holds no object. Throws when the heap runs out.
std::shared_ptr<Document> readDocument(const std::string& path) {
  // Not blocking on open: a pipe nobody writes to reads as empty instead of stalling the start.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return nullptr;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fdopen(fd, "rb"), &std::fclose);
  if (!file) {
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat info {};
  if (fstat(fd, &info) != 0 ||
      (S_ISREG(info.st_mode) && static_cast<unsigned long long>(info.st_size) > Config::kMaxFileSize)) {
    return nullptr;
  }
  std::vector<char> buffer(kReadBufferSize);
  rapidjson::FileReadStream stream(file.get(), buffer.data(), buffer.size());
  // The size may change while reading, and pipes have none: the stream is cut at the limit too.
  LimitedStream<rapidjson::FileReadStream> limited(stream, Config::kMaxFileSize);
  auto parsed = std::make_shared<Document>();
  const bool wellFormed = parseBounded(*parsed, limited);
  if (!wellFormed || limited.overLimit() || !parsed->IsObject()) {
    return nullptr;
  }
  return parsed;
}

// Follows symbolic links from path to the name of the file they lead to, which need not exist
// yet. False with errno set on a loop or an unreadable link.
bool resolveLinks(std::string& path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return true;
    }
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) {
      errno = error.value();
      return false;
    }
    path = target.is_absolute() ? target.string() : (std::filesystem::path(path).parent_path() / target).string();
  }
  errno = ELOOP;
  return false;
}

// Six letters or digits, different for every saver.
std::string randomSuffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Uniqueness still comes from O_EXCL; this only keeps the names varied.
    const unsigned long long mixed = static_cast<unsigned long long>(getpid()) * 2654435761ULL ^
                                     static_cast<unsigned long long>(std::clock()) ^
                                     static_cast<unsigned long long>(std::time(nullptr));
    for (size_t i = 0; i < sizeof bytes; ++i) {
      bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
    }
  }
  std::string suffix;
  for (const unsigned char byte : bytes) {
    suffix += kLetters[byte % (sizeof kLetters - 1)];
  }
  return suffix;
}

// Creates a new, empty file next to target under a name no one else uses: created exclusively
// and never through a link. -1 with errno set on failure.
int createTemporaryFile(const std::string& target, std::string& temporary) {
  const std::filesystem::path targetPath(target);
  const std::filesystem::path folder = targetPath.has_parent_path() ? targetPath.parent_path() : ".";
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = (folder / ("." + targetPath.filename().string() + "." + randomSuffix())).string();
    // Private until the caller gives it its final mode, before anything is written.
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// The file-creation mask, read without changing it (umask itself sets a new one). The usual 022
// when the system does not tell.
mode_t processUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) {
    return 022;
  }
  unsigned mask = 022;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Umask: %o", &mask) == 1) {
      break;
    }
  }
  std::fclose(status);
  return static_cast<mode_t>(mask & 0777);
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Makes the rename of a file in folder durable; a failure here loses nothing already written.
void syncFolder(const std::string& file) {
  const std::filesystem::path path(file);
  const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Replaces the file that path names (through any links) with text in one step: a reader sees
// the former contents or the new ones, never a mixture. The new file takes the former one's
// mode and, where the system permits, its owner. A file without write permission for the user
// is left alone. Other hard links to the former file keep the former contents.
bool replaceFile(const std::string& path, const char* text, size_t size) {
  std::string target = path;
  if (!resolveLinks(target)) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot replace %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  struct stat former {};
  const bool exists = stat(target.c_str(), &former) == 0;
  if (exists && !S_ISREG(former.st_mode)) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot replace %s: not a regular file\n", path.c_str());
    return false;
  }
  if (exists && ((former.st_mode & S_IWUSR) == 0 || faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot replace %s: the file is read-only\n", path.c_str());
    return false;
  }

  std::string temporary;
  const int fd = createTemporaryFile(target, temporary);
  if (fd < 0) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
    return false;
  }
  if (exists) {
    // The owner first: changing it may clear set-id bits that the mode then restores.
    if (former.st_uid != geteuid() || former.st_gid != getegid()) {
      (void)fchown(fd, former.st_uid, former.st_gid);
    }
    (void)fchmod(fd, former.st_mode & 07777);
  } else {
    (void)fchmod(fd, 0666 & ~processUmask());
  }
  int error = 0;
  if (!writeAll(fd, text, size) || fsync(fd) != 0) {
    error = errno;
  }
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot write %s: %s\n", temporary.c_str(), std::strerror(error));
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot replace %s: %s\n", path.c_str(), std::strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  syncFolder(target);
  return true;
}

}  // namespace

Config& Config::instance() {
  static Config config;
  return config;
}

void Config::makeFolders() {
  folders_ = Folders{};
  const std::string appData = platform::userAppDataDir();
  if (appData.empty()) {
    return;
  }
  const std::string company = join(appData, kCompanyFolder);
  std::error_code ignored;
  // The per-user folder itself may not exist yet (a fresh ~/.config).
  std::filesystem::create_directories(company, ignored);

  folders_.base = join(company, kUserProductFolder);
  folders_.plugins = join(folders_.base, "plugins");
  folders_.storage = join(folders_.base, "storage");
  folders_.pictures = join(folders_.base, "pictures");
  folders_.logs = join(folders_.base, "logs");
  folders_.connections = join(folders_.base, "connections");
  folders_.debug = join(folders_.base, "debug");
  for (const std::string* folder : {&folders_.base, &folders_.plugins, &folders_.storage, &folders_.pictures,
                                    &folders_.logs, &folders_.connections, &folders_.debug}) {
    std::filesystem::create_directory(*folder, ignored);
  }
}

void Config::load(const std::string& path) {
  makeFolders();
  if (!path.empty()) {
    configPath_ = path;
  } else if (!folders_.base.empty()) {
    configPath_ = join(folders_.base, kConfigFileName);
  } else {
    configPath_.clear();
    writeLog(4, LOG_FILE, __LINE__, "No per-user folder (APPDATA, XDG_CONFIG_HOME, HOME): settings stay in memory\n");
  }
  readFile();
  applyDefaults();

  pluginFolders_.clear();
  const std::string machineProduct = join(join(platform::commonAppDataDir(), kCompanyFolder), kMachineProductFolder);
  pluginFolders_.push_back(join(machineProduct, "Plugins"));
  if (!folders_.plugins.empty()) {
    pluginFolders_.push_back(folders_.plugins);
  }
  const std::string webApp = join(machineProduct, "webapp");
  if (pathExists(webApp)) {
    folders_.webApp = webApp;
  }
}

void Config::readFile() {
  document_ = std::make_shared<Document>(rapidjson::kObjectType);
  if (configPath_.empty()) {
    return;
  }
  // A broken, oversized or unreadable file quietly gives way to an empty object; the first saved
  // change replaces it.
  try {
    if (auto parsed = readDocument(configPath_)) {
      document_ = std::move(parsed);
    }
  } catch (const std::exception&) {
    // Out of memory while parsing, or a value rapidjson refused: the file cannot be loaded.
  }
}

Document& Config::ensureDocument() {
  if (!document_) {
    document_ = std::make_shared<Document>(rapidjson::kObjectType);
  }
  return *document_;
}

void Config::applyDefaults() {
  ensureDocument();
  const auto found = document_->FindMember("plugins");
  if (found != document_->MemberEnd() && found->value.IsArray()) {
    return;
  }
  // A "plugins" of another type counts as missing and gives way to the table.
  if (found != document_->MemberEnd()) {
    document_->EraseMember(found);
  }
  MemoryPoolAllocator& alloc = document_->GetAllocator();
  Value plugins(rapidjson::kArrayType);
  for (const DefaultPlugin& plugin : kDefaultPlugins) {
    makePluginEntry(plugins, plugin.name, plugin.descr, plugin.enabled, alloc);
  }
  document_->AddMember("plugins", plugins, alloc);
}

bool Config::save() {
  if (!document_ || configPath_.empty()) {
    return false;
  }
  try {
    JsonStringBuffer text;
    JsonCompactWriter writer(text);
    // The writer refuses numbers JSON has no text for (NaN, infinities) and stops midway.
    if (!document_->Accept(writer) || !writer.IsComplete()) {
      writeLog(3, LOG_FILE, __LINE__, "Cannot write %s: a value has no JSON form\n", configPath_.c_str());
      return false;
    }
    return replaceFile(configPath_, text.GetString(), text.GetSize());
  } catch (const std::bad_alloc&) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot write %s: out of memory\n", configPath_.c_str());
    return false;
  }
}

const Value* Config::find(KeyPath keyPath) const {
  return document_ ? walk(document_.get(), keyPath) : nullptr;
}

Value* Config::find(KeyPath keyPath) { return const_cast<Value*>(std::as_const(*this).find(keyPath)); }

std::optional<std::string> Config::findText(KeyPath keyPath) const {
  const Value* value = find(keyPath);
  if (value == nullptr || !value->IsString()) {
    return std::nullopt;
  }
  return std::string(value->GetString(), value->GetStringLength());
}

std::optional<int> Config::findInt(KeyPath keyPath) const {
  const Value* value = find(keyPath);
  if (value == nullptr || !value->IsInt()) {
    return std::nullopt;
  }
  return value->GetInt();
}

Value& Config::findOrCreate(KeyPath keyPath) {
  MemoryPoolAllocator& alloc = allocator();
  Value* current = document_.get();
  for (const char* name : keyPath) {
    if (!current->IsObject()) {
      current->SetObject();
    }
    auto found = current->FindMember(keyOf(name));
    if (found == current->MemberEnd()) {
      current->AddMember(Value(name, alloc), Value(), alloc);
      found = current->MemberEnd() - 1;
    }
    current = &found->value;
  }
  return *current;
}

const Value* Config::findPlugin(const std::string& name) const {
  const Value* plugins = document_ ? walk(document_.get(), {"plugins"}) : nullptr;
  if (plugins == nullptr || !plugins->IsArray()) {
    return nullptr;
  }
  for (const Value& plugin : plugins->GetArray()) {
    if (!plugin.IsObject()) {
      continue;
    }
    const auto pluginName = plugin.FindMember("name");
    if (pluginName != plugin.MemberEnd() && pluginName->value.IsString() &&
        name == std::string(pluginName->value.GetString(), pluginName->value.GetStringLength())) {
      return &plugin;
    }
  }
  return nullptr;
}

Value* Config::findPlugin(const std::string& name) {
  return const_cast<Value*>(std::as_const(*this).findPlugin(name));
}

void Config::pluginList(std::vector<PluginEntry>& out) const {
  for (const std::string& folder : pluginFolders_) {
    if (!pathExists(folder)) {
      continue;
    }
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
      if (entry->path().extension() == platform::kSharedLibrarySuffix) {
        names.push_back(entry->path().filename().string());
      }
    }
    // Directory order is arbitrary here: list by name so the dialog is stable.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      PluginEntry row{name, "N/A", false};
      if (const Value* plugin = findPlugin(name)) {
        const auto descr = plugin->FindMember("descr");
        row.descr = (descr != plugin->MemberEnd() && descr->value.IsString())
                        ? std::string(descr->value.GetString(), descr->value.GetStringLength())
                        : std::string();
        const auto enabled = plugin->FindMember("enabled");
        row.enabled = enabled != plugin->MemberEnd() && readsAsEnabled(enabled->value);
      }
      out.push_back(std::move(row));
    }
  }
}

void makePluginEntry(Value& plugins, const char* name, const char* descr, bool enabled,
                     MemoryPoolAllocator& allocator) {
  const std::string fileName = std::string(name) + platform::kSharedLibrarySuffix;
  Value entry(rapidjson::kObjectType);
  entry.AddMember("name", Value(fileName, allocator), allocator);
  entry.AddMember("descr", Value(descr, allocator), allocator);
  entry.AddMember("enabled", enabled, allocator);
  plugins.PushBack(entry, allocator);
}

bool pathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

}  // namespace lmr
