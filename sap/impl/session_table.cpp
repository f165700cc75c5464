#include "sap/impl/session_table.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace sap {

namespace {

// Versions are decimal numbers of any length; anything else never counts as newer or older.
std::optional<std::string> numeric_version(const std::string& text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? std::string() : text.substr(first);
}

}  // namespace

size_t session_table::sender_hash::operator()(const sender_address& address) const {
  if (address.is_v4()) {
    return std::hash<uint32_t>()(address.to_v4().to_uint());
  }
  const auto bytes = address.to_v6().to_bytes();
  return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

session_table::entry* session_table::find(const std::string& origin, uint16_t hash) {
  const auto sessions = origins_.find(origin);
  if (sessions == origins_.end()) {
    return nullptr;
  }
  const auto found = sessions->second.by_hash.find(hash);
  return found == sessions->second.by_hash.end() ? nullptr : &found->second;
}

const session_table::entry* session_table::modified_by(const std::string& origin,
                                                       const origin_identity& identity) const {
  if (identity.session.empty()) {
    return nullptr;
  }
  const auto candidate = numeric_version(identity.version);
  const auto sessions = origins_.find(origin);
  if (!candidate || sessions == origins_.end()) {
    return nullptr;
  }
  const auto group = sessions->second.by_identity.find(identity.session);
  // The oldest version first: when it is not older, none is, and nothing is walked.
  if (group == sessions->second.by_identity.end() || group->second.ordered.empty() ||
      !version_less{}(*group->second.ordered.begin(), *candidate)) {
    return nullptr;
  }
  for (const auto& [hash, version] : group->second.versions) {
    if (version && version_less{}(*version, *candidate)) {
      return &sessions->second.by_hash.at(hash);
    }
  }
  return nullptr;
}

void session_table::index(origin_sessions& sessions, uint16_t hash, const origin_identity& identity) {
  if (identity.session.empty()) {
    return;
  }
  identity_group& group = sessions.by_identity[identity.session];
  auto version = numeric_version(identity.version);
  if (version) {
    group.ordered.insert(*version);
  }
  group.versions.emplace(hash, std::move(version));
}

void session_table::unindex(origin_sessions& sessions, uint16_t hash, const origin_identity& identity) {
  const auto group = sessions.by_identity.find(identity.session);
  if (group == sessions.by_identity.end()) {
    return;
  }
  const auto versioned = group->second.versions.find(hash);
  if (versioned != group->second.versions.end()) {
    if (versioned->second) {
      group->second.ordered.erase(group->second.ordered.find(*versioned->second));
    }
    group->second.versions.erase(versioned);
  }
  if (group->second.versions.empty()) {
    sessions.by_identity.erase(group);
  }
}

const session& session_table::insert(session announced, origin_identity identity, const sender_address& sender,
                                     bool heard_again) {
  origin_sessions& sessions = origins_[announced.origin];
  const uint16_t hash = announced.hash;
  index(sessions, hash, identity);
  ++size_;
  entry& stored =
      sessions.by_hash.emplace(hash, entry{std::move(announced), std::move(identity), sender, heard_again, {}, {}})
          .first->second;
  link(stored);
  return stored.announced;
}

// Entries stay where the hashed maps put them (their nodes never move), so lists may go through them.
void session_table::link(entry& stored) {
  sender_sessions& own = senders_[stored.sender];
  if (stored.heard_again) {
    own.heard.push_back(stored);
  } else {
    own.once.push_back(stored);
    once_.push_back(stored);
  }
  if (++own.count == sender_share_) {
    large_senders_.push_back(stored.sender);
  }
}

void session_table::unlink(entry& stored) {
  const auto own = senders_.find(stored.sender);
  sender_list& list = stored.heard_again ? own->second.heard : own->second.once;
  list.erase(list.iterator_to(stored));
  if (!stored.heard_again) {
    once_.erase(once_.iterator_to(stored));
  }
  if (own->second.count-- == sender_share_) {
    large_senders_.erase(std::find(large_senders_.begin(), large_senders_.end(), stored.sender));
  }
  if (own->second.count == 0) {
    senders_.erase(own);
  }
}

void session_table::heard(entry& stored) {
  sender_sessions& own = senders_.find(stored.sender)->second;
  sender_list& list = stored.heard_again ? own.heard : own.once;
  list.erase(list.iterator_to(stored));
  if (!stored.heard_again) {
    once_.erase(once_.iterator_to(stored));
    stored.heard_again = true;
  }
  own.heard.push_back(stored);
}

const session_table::entry* session_table::eviction_candidate(const sender_address& sender) const {
  const auto own = senders_.find(sender);
  if (own != senders_.end() && own->second.count >= sender_share_) {
    return own->second.once.empty() ? nullptr : &own->second.once.front();
  }
  if (!once_.empty()) {
    return &once_.front();
  }
  const sender_sessions* largest = nullptr;
  for (const sender_address& address : large_senders_) {
    const sender_sessions& candidate = senders_.at(address);
    if (largest == nullptr || candidate.count > largest->count) {
      largest = &candidate;
    }
  }
  // No entry is heard once here, so a large sender's entries are all in its list of heard ones.
  return largest != nullptr ? &largest->heard.front() : nullptr;
}

void session_table::replace(entry& stored, session announced, origin_identity identity) {
  origin_sessions& sessions = origins_.find(stored.announced.origin)->second;
  unindex(sessions, stored.announced.hash, stored.identity);
  index(sessions, stored.announced.hash, identity);
  stored.announced = std::move(announced);
  stored.identity = std::move(identity);
}

session session_table::erase(const std::string& origin, uint16_t hash) {
  const auto sessions = origins_.find(origin);
  const auto found = sessions->second.by_hash.find(hash);
  unindex(sessions->second, hash, found->second.identity);
  unlink(found->second);
  session gone = std::move(found->second.announced);
  sessions->second.by_hash.erase(found);
  if (sessions->second.by_hash.empty()) {
    origins_.erase(sessions);
  }
  --size_;
  return gone;
}

session_table::key_list session_table::sorted_keys() const {
  key_list keys;
  keys.reserve(size_);
  for (const auto& [origin, sessions] : origins_) {
    for (const auto& [hash, stored] : sessions.by_hash) {
      keys.emplace_back(origin, hash);
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<session> session_table::erase_if(const std::function<bool(const session&)>& expired) {
  std::vector<session> gone;
  for (const auto& [origin, hash] : sorted_keys()) {
    if (expired(find(origin, hash)->announced)) {
      gone.push_back(erase(origin, hash));
    }
  }
  return gone;
}

void session_table::for_each(const std::function<void(const session&)>& visit) const {
  for (const auto& [origin, hash] : sorted_keys()) {
    visit(origins_.at(origin).by_hash.at(hash).announced);
  }
}

}  // namespace sap
