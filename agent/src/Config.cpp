#include "agent/src/Config.h"

#include <rapidjson/filereadstream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>
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

// Writes text to path and makes it durable before the caller renames it into place.
bool writeWhole(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0 &&
                       fsync(fileno(file)) == 0;
  return std::fclose(file) == 0 && written;
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
  std::FILE* file = std::fopen(configPath_.c_str(), "rb");
  if (file == nullptr) {
    return;
  }
  std::vector<char> buffer(kReadBufferSize);
  rapidjson::FileReadStream stream(file, buffer.data(), buffer.size());
  auto parsed = std::make_shared<Document>();
  const bool wellFormed = parseBounded(*parsed, stream);
  std::fclose(file);
  // A broken file quietly gives way to an empty object; the first saved change replaces it.
  if (!wellFormed || !parsed->IsObject()) {
    return;
  }
  document_ = std::move(parsed);
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
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  document_->Accept(writer);

  const std::string temporary = configPath_ + ".tmp";
  if (!writeWhole(temporary, std::string(text.GetString(), text.GetSize()))) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), configPath_.c_str()) != 0) {
    writeLog(3, LOG_FILE, __LINE__, "Cannot replace %s: %s\n", configPath_.c_str(), std::strerror(errno));
    std::remove(temporary.c_str());
    return false;
  }
  return true;
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
