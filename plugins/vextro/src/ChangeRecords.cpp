#include "plugins/vextro/src/ChangeRecords.h"

#include <stdexcept>

namespace Vextro {
namespace {

using PathFunction = std::string (*)(uint64_t, uint64_t);

int64_t IdOf(const Json& element) {
  const auto found = element.find("Id");
  if (found == element.end() || !found->is_number_integer()) {
    throw std::runtime_error("Not an int");
  }
  return found->get<int64_t>();
}

Json Record(const std::string& path, Json data, ChangeOperation operation) {
  return {{"Data", std::move(data)}, {"Operation", static_cast<int64_t>(operation)}, {"Path", path}};
}

void AppendListChanges(uint32_t proxyId, const Json& current, const Json& next, const std::string& member,
                       PathFunction path, Json& records) {
  if (const auto list = next.find(member); list != next.end() && list->is_array()) {
    for (const Json& element : *list) {
      const int64_t id = IdOf(element);
      const int64_t index = FindIndexById(current, member, id);
      if (index == -1) {
        records.push_back(Record(path(proxyId, static_cast<uint64_t>(id)), element, ChangeOperation::Added));
      } else if (current.at(member).at(static_cast<std::size_t>(index)) != element) {
        records.push_back(Record(path(proxyId, static_cast<uint64_t>(id)), element, ChangeOperation::Changed));
      }
    }
  }
  if (const auto list = current.find(member); list != current.end() && list->is_array()) {
    for (const Json& element : *list) {
      const int64_t id = IdOf(element);
      if (FindIndexById(next, member, id) == -1) {
        records.push_back(Record(path(proxyId, static_cast<uint64_t>(id)), Json::object(), ChangeOperation::Removed));
      }
    }
  }
}

bool BothHoldAndDiffer(const Json& current, const Json& next, const std::string& member) {
  const auto before = current.find(member);
  const auto after = next.find(member);
  return before != current.end() && after != next.end() && *before != *after;
}

}  // namespace

std::string DevicePath(uint64_t id) { return "$.Devices[?(@.Id==" + std::to_string(id) + ")]"; }

std::string ReceiverPath(uint64_t id, uint64_t slot) {
  return DevicePath(id) + ".Receivers[?(@.Id==" + std::to_string(slot) + ")]";
}

std::string StreamerPath(uint64_t id, uint64_t slot) {
  return DevicePath(id) + ".Streamers[?(@.Id==" + std::to_string(slot) + ")]";
}

int64_t FindIndexById(const Json& document, const std::string& member, int64_t id) {
  if (!document.is_object()) {
    return -1;
  }
  const auto list = document.find(member);
  if (list == document.end() || !list->is_array()) {
    return -1;
  }
  for (std::size_t index = 0; index < list->size(); ++index) {
    const Json& element = (*list)[index];
    if (element.is_object() && IdOf(element) == id) {
      return static_cast<int64_t>(index);
    }
  }
  return -1;
}

Json ComputeChangeRecords(uint32_t proxyId, const Json& current, const Json& next) {
  Json records = Json::array();
  AppendListChanges(proxyId, current, next, "Receivers", ReceiverPath, records);
  AppendListChanges(proxyId, current, next, "Streamers", StreamerPath, records);
  if (BothHoldAndDiffer(current, next, "Status")) {
    records.push_back(Record(DevicePath(proxyId), next, ChangeOperation::Changed));
  }
  if (BothHoldAndDiffer(current, next, "IOGroups")) {
    records.push_back(Record(DevicePath(proxyId), next, ChangeOperation::Changed));
  }
  return records;
}

}  // namespace Vextro
