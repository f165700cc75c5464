#include "agent/src/Config.h"

#include <rapidjson/filereadstream.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <utility>

#include "log/console_log.h"
#include "platform/app_data.h"
#include "platform/atomic_file.h"
#include "platform/file_descriptor.h"

namespace lmr {
namespace {

constexpr const char* kCompanyFolder = "Brixel Technologies";
constexpr const char* kUserProductFolder = "lumora";
constexpr const char* kMachineProductFolder = "Lumora";  // the machine-wide tree is spelt with a capital
constexpr const char* kConfigFileName = "config.json";
constexpr size_t kReadBufferSize = 65536;
// An unreadable config.json is kept as "config.json.broken-<date>" before a save replaces it.
constexpr const char* kBrokenSuffix = ".broken-";
constexpr int kBrokenNameAttempts = 100;
// Plug-in folder list the engine reads, colon-separated.
constexpr const char* kPluginDirsVariable = "TVSK_PLUGIN_DIRS";
// An installed program's own plug-ins, beside its bin folder.
constexpr const char* kInstalledPluginFolder = "../lib/lumora/plugins";

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

// The value at the names, or null; silent.
const Value* lookUp(const Value& root, const std::vector<std::string>& names) {
  const Value* current = &root;
  for (const std::string& name : names) {
    if (!current->IsObject()) {
      return nullptr;
    }
    const auto found = current->FindMember(keyOf(name.c_str()));
    if (found == current->MemberEnd()) {
      return nullptr;
    }
    current = &found->value;
  }
  return current;
}

// The value at the names, created (null) when missing; a member on the way that is not an
// object becomes an empty one.
Value& makePath(Value& root, const std::vector<std::string>& names, MemoryPoolAllocator& alloc) {
  Value* current = &root;
  for (const std::string& name : names) {
    if (!current->IsObject()) {
      current->SetObject();
    }
    auto found = current->FindMember(keyOf(name.c_str()));
    if (found == current->MemberEnd()) {
      current->AddMember(Value(name, alloc), Value(), alloc);
      found = current->MemberEnd() - 1;
    }
    current = &found->value;
  }
  return *current;
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

// True for a regular file that holds something: an empty or missing file loses nothing when
// it is replaced.
bool holdsData(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

bool renameWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL) {
    return false;
  }
  // A file system without the flag: the free name is checked first.
  struct stat info {};
  if (lstat(to.c_str(), &info) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

// Moves the file at path to a free "<path>.broken-<date>" name and returns it; empty with errno
// set when it cannot be moved.
std::string moveAside(const std::string& path) {
  char date[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", &local);
  const std::string stem = path + kBrokenSuffix + date;
  for (int attempt = 0; attempt < kBrokenNameAttempts; ++attempt) {
    const std::string name = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
    if (renameWithoutReplacing(path, name)) {
      return name;
    }
    if (errno != EEXIST) {
      return {};
    }
  }
  errno = EEXIST;
  return {};
}

std::vector<std::string> splitFolders(const std::string& list) {
  std::vector<std::string> folders;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(':', start), list.size());
    if (end > start) {
      folders.push_back(list.substr(start, end - start));
    }
    start = end + 1;
  }
  return folders;
}

// lib/lumora/plugins beside the running program's bin folder, when it exists.
std::string installedPluginFolder() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return {};
  }
  const std::filesystem::path folder =
      std::filesystem::canonical(program.parent_path() / kInstalledPluginFolder, error);
  return !error && std::filesystem::is_directory(folder, error) ? folder.string() : std::string();
}

std::string textOf(const Value& object, const char* name) {
  const auto member = object.FindMember(name);
  return member != object.MemberEnd() && member->value.IsString()
             ? std::string(member->value.GetString(), member->value.GetStringLength())
             : std::string();
}

bool hasMember(const Value& object, const char* name) { return object.FindMember(name) != object.MemberEnd(); }

}  // namespace

bool Config::FileStamp::operator==(const FileStamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
         modifiedNs == other.modifiedNs;
}

namespace {

// The parts of a file's status that change whenever its contents are replaced or edited.
template <typename Stamp>
Stamp stampFromStatus(const struct stat& info) {
  constexpr long long kNsPerSecond = 1000000000LL;
  Stamp stamp;
  stamp.exists = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modifiedNs = static_cast<long long>(info.st_mtim.tv_sec) * kNsPerSecond + info.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace

Config::FileStamp Config::stampOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    return {};
  }
  return stampFromStatus<FileStamp>(info);
}

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
  ownChanges_.clear();
  makeFolders();
  if (!path.empty()) {
    configPath_ = path;
  } else if (!folders_.base.empty()) {
    configPath_ = join(folders_.base, kConfigFileName);
  } else {
    configPath_.clear();
    writeLog(kLogWarning, LOG_FILE, __LINE__,
             "No per-user folder (APPDATA, XDG_CONFIG_HOME, HOME): settings stay in memory\n");
  }
  readFile();
  applyDefaults();

  const std::string machineProduct = join(join(platform::commonAppDataDir(), kCompanyFolder), kMachineProductFolder);
  // The engine's folders, as it reads them, so that the plug-ins it loads are the ones listed.
  const char* engineFolders = std::getenv(kPluginDirsVariable);
  pluginFolders_ = splitFolders(engineFolders != nullptr ? engineFolders : "");
  if (pluginFolders_.empty()) {
    pluginFolders_.push_back(join(machineProduct, "Plugins"));
    if (!folders_.plugins.empty()) {
      pluginFolders_.push_back(folders_.plugins);
    }
    if (const std::string installed = installedPluginFolder(); !installed.empty()) {
      pluginFolders_.push_back(installed);
    }
  }
  const std::string webApp = join(machineProduct, "webapp");
  if (pathExists(webApp)) {
    folders_.webApp = webApp;
  }
}

void Config::readFile() {
  document_ = std::make_shared<Document>(rapidjson::kObjectType);
  brokenFile_ = false;
  saveError_.clear();
  // Taken before reading: a file replaced meanwhile is only read once more at the next refresh.
  diskStamp_ = stampOf(configPath_);
  if (configPath_.empty()) {
    return;
  }
  // A broken, oversized or unreadable file gives way to an empty object; the first save keeps
  // it aside before replacing it.
  try {
    if (auto parsed = readDocument(configPath_)) {
      document_ = std::move(parsed);
      return;
    }
  } catch (const std::exception&) {
    // Out of memory while parsing, or a value rapidjson refused: the file cannot be loaded.
  }
  brokenFile_ = holdsData(configPath_);
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
  pluginsStored_ = found != document_->MemberEnd() && found->value.IsArray();
  if (pluginsStored_) {
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

bool Config::refresh() {
  // A file that is gone holds no edit to keep: the whole document is written again.
  const FileStamp now = stampOf(configPath_);
  if (configPath_.empty() || !now.exists || now == diskStamp_) {
    return false;
  }
  // The agent's own changes, copied out of the document that is about to be replaced.
  Document own;
  std::vector<Value> ownValues;
  for (const auto& names : ownChanges_) {
    ownValues.emplace_back();
    if (const Value* value = lookUp(*document_, names)) {
      ownValues.back().CopyFrom(*value, own.GetAllocator());
    }
  }
  const std::string unsavedReason = saveError_;
  readFile();
  applyDefaults();
  saveError_ = unsavedReason;
  for (size_t i = 0; i < ownChanges_.size(); ++i) {
    makePath(*document_, ownChanges_[i], document_->GetAllocator()).CopyFrom(ownValues[i], document_->GetAllocator());
    pluginsStored_ = pluginsStored_ || ownChanges_[i].front() == "plugins";
  }
  writeLog(kLogInfo, LOG_FILE, __LINE__, "%s changed on disk: read again, its edits are kept\n", configPath_.c_str());
  return true;
}

bool Config::save() {
  if (!document_ || configPath_.empty()) {
    saveError_ = "no per-user folder is known";
    return false;
  }
  refresh();
  std::string text;
  try {
    if (!serialize(text)) {
      return failSave("a value has no JSON form");
    }
  } catch (const std::bad_alloc&) {
    return failSave("out of memory");
  }
  if (brokenFile_) {
    const std::string kept = moveAside(configPath_);
    if (kept.empty()) {
      return failSave(std::string("the unreadable file cannot be kept aside: ") + std::strerror(errno));
    }
    writeLog(kLogWarning, LOG_FILE, __LINE__, "%s could not be read; it is kept as %s\n", configPath_.c_str(),
             kept.c_str());
    brokenFile_ = false;
  }
  FileStamp written;
  const platform::ReplaceOutcome outcome = platform::replaceFile(configPath_, [&text, &written](int fd) {
    struct stat info {};
    if (!platform::writeAll(fd, text.data(), text.size())) {
      return false;
    }
    // The renamed file keeps this inode, size and time: a later outside edit changes one of them.
    if (fstat(fd, &info) == 0) {
      written = stampFromStatus<FileStamp>(info);
    }
    return true;
  });
  if (!outcome.done()) {
    return failSave(outcome.message);
  }
  diskStamp_ = written;
  ownChanges_.clear();
  saveError_.clear();
  return true;
}

bool Config::serialize(std::string& text) {
  // The default plug-in table is no one's choice: it is written only once a table is stored.
  Value defaults;
  const auto plugins = document_->FindMember("plugins");
  const bool hideDefaults = !pluginsStored_ && plugins != document_->MemberEnd();
  if (hideDefaults) {
    defaults.Swap(plugins->value);
    document_->EraseMember(plugins);
  }
  auto restore = [&] {
    if (hideDefaults) {
      document_->AddMember("plugins", defaults, document_->GetAllocator());
    }
  };
  JsonStringBuffer buffer;
  JsonCompactWriter writer(buffer);
  bool complete = false;
  try {
    // The writer refuses numbers JSON has no text for (NaN, infinities) and stops midway.
    complete = document_->Accept(writer) && writer.IsComplete();
  } catch (...) {
    restore();
    throw;
  }
  restore();
  if (complete) {
    text.assign(buffer.GetString(), buffer.GetSize());
  }
  return complete;
}

bool Config::failSave(const std::string& reason) {
  writeLog(kLogError, LOG_FILE, __LINE__, "Cannot save %s: %s\n", configPath_.c_str(), reason.c_str());
  saveError_ = reason;
  return false;
}

bool Config::setPluginTable(const std::vector<PluginEntry>& plugins) {
  MemoryPoolAllocator& alloc = allocator();
  Value& table = findOrCreate({"plugins"});
  table.SetArray();
  for (const PluginEntry& entry : plugins) {
    Value row(rapidjson::kObjectType);
    row.AddMember("name", Value(entry.name, alloc), alloc);
    row.AddMember("descr", Value(entry.descr, alloc), alloc);
    row.AddMember("enabled", Value(entry.enabled), alloc);
    if (!entry.folder.empty()) {
      row.AddMember("folder", Value(entry.folder, alloc), alloc);
    }
    table.PushBack(row, alloc);
  }
  pluginsStored_ = true;
  return save();
}

const Value* Config::find(KeyPath keyPath) const { return document_ ? walk(document_.get(), keyPath) : nullptr; }

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
  const std::vector<std::string> changed(keyPath.begin(), keyPath.end());
  if (!changed.empty() && std::find(ownChanges_.begin(), ownChanges_.end(), changed) == ownChanges_.end()) {
    ownChanges_.push_back(changed);
  }
  MemoryPoolAllocator& alloc = allocator();
  return makePath(*document_, changed, alloc);
}

const Value* Config::findPlugin(const std::string& name) const { return findPlugin(name, nullptr); }

Value* Config::findPlugin(const std::string& name) { return const_cast<Value*>(std::as_const(*this).findPlugin(name)); }

const Value* Config::findPlugin(const std::string& name, const std::string* folder) const {
  const Value* plugins = document_ ? walk(document_.get(), {"plugins"}) : nullptr;
  if (plugins == nullptr || !plugins->IsArray()) {
    return nullptr;
  }
  const Value* anyFolder = nullptr;
  for (const Value& plugin : plugins->GetArray()) {
    if (!plugin.IsObject() || !hasMember(plugin, "name") || textOf(plugin, "name") != name) {
      continue;
    }
    if (folder == nullptr) {
      return &plugin;
    }
    if (hasMember(plugin, "folder") && textOf(plugin, "folder") == *folder) {
      return &plugin;
    }
    // A row saved without its folder stands for the file in any folder.
    if (anyFolder == nullptr && !hasMember(plugin, "folder")) {
      anyFolder = &plugin;
    }
  }
  return anyFolder;
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
      // The engine loads every plug-in of its folders: without a stored choice, one is enabled.
      PluginEntry row{name, "N/A", true, folder};
      if (const Value* plugin = findPlugin(name, &folder)) {
        row.descr = textOf(*plugin, "descr");
        if (pluginsStored_) {
          const auto enabled = plugin->FindMember("enabled");
          row.enabled = enabled != plugin->MemberEnd() && readsAsEnabled(enabled->value);
        }
      }
      out.push_back(std::move(row));
    }
  }
}

std::vector<std::string> Config::disabledPluginFiles() const {
  std::vector<PluginEntry> plugins;
  pluginList(plugins);
  std::vector<std::string> files;
  for (const PluginEntry& plugin : plugins) {
    if (!plugin.enabled) {
      files.push_back(join(plugin.folder, plugin.name.c_str()));
    }
  }
  return files;
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
