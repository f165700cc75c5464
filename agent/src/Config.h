#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/src/Json.h"

namespace lmr {

// One row of the plug-in list shown in the settings dialog.
struct PluginEntry {
  std::string name;  // file name with the platform's plug-in suffix, e.g. "vextro.so"
  std::string descr;
  bool enabled = false;
  std::string folder;  // where the file is; the same name may be in two folders
};

// The agent's configuration: the per-user folder tree, config.json with its defaults and the
// plug-in folders. Loaded once at start-up; used from the GUI thread only.
class Config {
 public:
  using KeyPath = std::initializer_list<const char*>;

  static constexpr char kSeparator = '/';
  // A larger config.json is not read: it is taken for a broken one.
  static constexpr size_t kMaxFileSize = size_t{4} << 20;

  static Config& instance();
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Creates the folders, reads config.json (or path), adds the default plug-in table when the
  // file has none, and sets the plug-in folders: those TVSK_PLUGIN_DIRS lists when set, as the
  // engine reads it, else the machine-wide, the per-user and an installed program's own folder. Replaces anything
  // loaded before. A file that cannot be loaded (missing, broken, above kMaxFileSize, beyond the memory at hand) gives
  // an empty object.
  void load(const std::string& path = {});

  // Writes the document compactly into a new temporary file beside the file (through any
  // symbolic links) and renames it over the file, so readers and other savers only ever see a
  // whole file; it keeps the former file's mode and owner. A file that could not be loaded is
  // first kept as "<file>.broken-<date>", with a log line. The default plug-in table is left out
  // until a table is stored. False when there is no file path (no per-user folder is known);
  // false with a log line when the file is read-only, a value has no JSON form (NaN, infinity)
  // or writing fails. The former file is then left as it was, the document keeps the change and
  // saveError() says why.
  //
  // Before writing, the file is read again when it changed on disk since this object last read or
  // wrote it (an edit by hand or by another tool while the agent runs): the keys the agent changed
  // since its last save are put over the file's new contents, so the outside edits are kept. A
  // file that is gone is written anew from the whole document.
  bool save();
  // Reads the file again when it changed on disk since the last read or write, keeping the
  // agent's own unsaved changes on top; true when it did. Writers call it before comparing.
  bool refresh();
  // Why the last save failed; empty when it succeeded (or none was tried since loading).
  [[nodiscard]] const std::string& saveError() const { return saveError_; }
  // The document holds changes that the last save could not write.
  [[nodiscard]] bool unsaved() const { return !saveError_.empty(); }

  // Replaces the "plugins" table by the list (each row with its folder) and saves.
  bool setPluginTable(const std::vector<PluginEntry>& plugins);

  // The value at the key path (empty: the root), or null. A value on the way that is not an
  // object prints "not an object [<name>]"; a missing member gives null silently.
  [[nodiscard]] Value* find(KeyPath keyPath);
  [[nodiscard]] const Value* find(KeyPath keyPath) const;

  // Typed reads: a member of another type counts as missing.
  [[nodiscard]] std::optional<std::string> findText(KeyPath keyPath) const;
  [[nodiscard]] std::optional<int> findInt(KeyPath keyPath) const;

  // For writers: the value at the key path, created (null) when missing. A member on the way
  // that is not an object is replaced by an empty object. The key path counts as changed by the
  // agent until the next save succeeds.
  [[nodiscard]] Value& findOrCreate(KeyPath keyPath);

  // The first "plugins" element whose "name" is exactly name, or null.
  [[nodiscard]] Value* findPlugin(const std::string& name);
  [[nodiscard]] const Value* findPlugin(const std::string& name) const;

  // Every plug-in file (exact platform suffix) in the plug-in folders, folder by folder, with
  // its description and the choice stored for that folder and name ("N/A"; enabled, as the
  // engine loads it, while no table is stored or the table does not name it).
  void pluginList(std::vector<PluginEntry>& out) const;

  // The plug-in files of pluginList that the user turned off ("<folder>/<name>"), for the engine to skip.
  [[nodiscard]] std::vector<std::string> disabledPluginFiles() const;

  // Steps of load, public for the start-up of the engine server process and for tests.
  void makeFolders();
  void readFile();
  void applyDefaults();

  [[nodiscard]] const std::shared_ptr<Document>& document() const { return document_; }
  // Allocator of the document, for values the writers put into it.
  [[nodiscard]] MemoryPoolAllocator& allocator() { return ensureDocument().GetAllocator(); }
  [[nodiscard]] const std::string& configPath() const { return configPath_; }
  [[nodiscard]] const std::vector<std::string>& pluginFolders() const { return pluginFolders_; }

  [[nodiscard]] const std::string& baseFolder() const { return folders_.base; }
  [[nodiscard]] const std::string& pluginsFolder() const { return folders_.plugins; }
  [[nodiscard]] const std::string& storageFolder() const { return folders_.storage; }
  [[nodiscard]] const std::string& picturesFolder() const { return folders_.pictures; }
  [[nodiscard]] const std::string& logsFolder() const { return folders_.logs; }
  [[nodiscard]] const std::string& webAppFolder() const { return folders_.webApp; }
  [[nodiscard]] const std::string& connectionsFolder() const { return folders_.connections; }
  [[nodiscard]] const std::string& debugFolder() const { return folders_.debug; }

 private:
  Config() = default;

  // The document, an empty object when nothing has been loaded yet.
  Document& ensureDocument();
  // The compact text of the document; false when a value has no JSON form.
  bool serialize(std::string& text);
  bool failSave(const std::string& reason);
  // The "plugins" row for name: with folder, the row saved for that folder, else the first
  // saved without a folder.
  [[nodiscard]] const Value* findPlugin(const std::string& name, const std::string* folder) const;

  // Created in this order; webApp is the machine-wide folder and is never created here.
  struct Folders {
    std::string base;
    std::string plugins;
    std::string storage;
    std::string pictures;
    std::string logs;
    std::string webApp;
    std::string spare;  // always empty
    std::string connections;
    std::string debug;
  };

  // What identifies one version of the file on disk; exists false when there is none.
  struct FileStamp {
    bool exists = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long modifiedNs = 0;
    bool operator==(const FileStamp& other) const;
  };
  [[nodiscard]] static FileStamp stampOf(const std::string& path);

  std::string configPath_;
  FileStamp diskStamp_;  // the file as this object last read or wrote it
  // Key paths the agent changed since its last successful save.
  std::vector<std::vector<std::string>> ownChanges_;
  std::shared_ptr<Document> document_;
  std::vector<std::string> pluginFolders_;
  Folders folders_;
  bool brokenFile_ = false;     // config.json holds something that could not be loaded
  bool pluginsStored_ = false;  // the "plugins" table came from the file or a writer
  std::string saveError_;
};

// Appends {"name": name + plug-in suffix, "descr": descr, "enabled": enabled} to plugins.
void makePluginEntry(Value& plugins, const char* name, const char* descr, bool enabled, MemoryPoolAllocator& allocator);

// True only for an existing folder (a file gives false).
[[nodiscard]] bool pathExists(const std::string& path);

}  // namespace lmr
