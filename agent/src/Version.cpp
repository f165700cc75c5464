#include "agent/src/Version.h"

#include <elf.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "agent/src/VersionRecord.h"
#include "platform/process.h"

namespace lmr {

float dpiScale = 1.0f;

namespace {

// Reads exactly size bytes at offset; false on a short or failed read.
bool readAt(std::ifstream& file, uint64_t offset, void* target, size_t size) {
  file.clear();
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(static_cast<char*>(target), static_cast<std::streamsize>(size));
  return static_cast<size_t>(file.gcount()) == size;
}

bool inFile(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

// The version record of an ELF64 file of this machine's byte order, located through the section
// headers by name (the signature value alone also occurs as an immediate in the code).
std::optional<VersionRecord> findVersionRecord(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  if (end < 0) {
    return std::nullopt;
  }
  const auto fileSize = static_cast<uint64_t>(end);

  Elf64_Ehdr header{};
  if (!readAt(file, 0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    return std::nullopt;
  }
  const uint8_t ownByteOrder = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? ELFDATA2LSB : ELFDATA2MSB;
  if (header.e_ident[EI_DATA] != ownByteOrder || header.e_shoff == 0) {
    return std::nullopt;
  }

  // Section 0 holds the real count and name-table index when they do not fit the header.
  Elf64_Shdr first{};
  if (!inFile(header.e_shoff, sizeof first, fileSize) || !readAt(file, header.e_shoff, &first, sizeof first)) {
    return std::nullopt;
  }
  const uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
  const uint64_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
  if (count == 0 || count > fileSize / sizeof(Elf64_Shdr) || namesIndex >= count ||
      !inFile(header.e_shoff, count * sizeof(Elf64_Shdr), fileSize)) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(count);
  if (!readAt(file, header.e_shoff, sections.data(), count * sizeof(Elf64_Shdr))) {
    return std::nullopt;
  }

  const Elf64_Shdr& namesSection = sections[namesIndex];
  if (namesSection.sh_type != SHT_STRTAB || !inFile(namesSection.sh_offset, namesSection.sh_size, fileSize)) {
    return std::nullopt;
  }
  std::vector<char> names(namesSection.sh_size + 1, '\0');  // the extra NUL ends a cut-off last name
  if (!readAt(file, namesSection.sh_offset, names.data(), namesSection.sh_size)) {
    return std::nullopt;
  }

  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= namesSection.sh_size || std::strcmp(&names[section.sh_name], kVersionSectionName) != 0) {
      continue;
    }
    VersionRecord record{};
    if (section.sh_type != SHT_PROGBITS || section.sh_size < sizeof record ||
        !inFile(section.sh_offset, sizeof record, fileSize) ||
        !readAt(file, section.sh_offset, &record, sizeof record) || record.signature != kVersionSignature) {
      return std::nullopt;
    }
    return record;
  }
  return std::nullopt;
}

int64_t modificationTime(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_mtime) : 0;
}

}  // namespace

bool readVersion(VersionInfo& info, const std::string& path) {
  const std::string file = path.empty() ? platform::ownExecutablePath() : path;
  if (file.empty()) {
    return false;
  }
  const int64_t mtime = modificationTime(file);
  if (mtime == info.mtime) {
    return false;
  }
  const std::optional<VersionRecord> record = findVersionRecord(file);
  if (!record) {
    return false;
  }
  info.major = record->fileVersionMS >> 16;
  info.minor = record->fileVersionMS & 0xFFFF;
  info.patch = record->fileVersionLS >> 16;
  info.build = record->fileVersionLS & 0xFFFF;
  info.mtime = mtime;
  return true;
}

std::string versionString(const VersionInfo& info) {
  if (info.major == 0 && info.minor == 0 && info.patch == 0 && info.build == 0) {
    return "None";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u b%u", info.major, info.minor, info.patch, info.build);
  return text;
}

}  // namespace lmr
