#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sap/impl/session.h"

namespace sap {

// The sessions of a listener, grouped per origin and, within an origin, indexed by hash and by the
// o= session they announce. A lookup costs the same however many sessions one origin announces:
// SAP is unauthenticated, so a single sender may fill the whole table. The indices are hashed, as
// every datagram looks them up; the rare walks over the whole table (expiry, a snapshot) sort the
// keys and go in key order: origin text byte-wise, then hash.
class session_table {
 public:
  struct entry {
    session announced;
    // Recognises a modification announced under a new hash.
    origin_identity identity;
  };

  [[nodiscard]] size_t size() const { return size_; }
  // The entry of this origin and hash, or null.
  [[nodiscard]] entry* find(const std::string& origin, uint16_t hash);
  // The entry of this origin that an announcement of identity modifies: the same o= session with
  // an older version; the lowest hash when there are several. Null when there is none.
  [[nodiscard]] const entry* modified_by(const std::string& origin, const origin_identity& identity) const;
  // Adds an entry whose key is not in the table; the stored session.
  const session& insert(session announced, origin_identity identity);
  // Gives a stored entry new content under the same key.
  void replace(entry& stored, session announced, origin_identity identity);
  // Removes the entry of this origin and hash, which must be in the table, and returns its session.
  session erase(const std::string& origin, uint16_t hash);
  // Removes every session for which expired(session) holds; returns them in key order.
  std::vector<session> erase_if(const std::function<bool(const session&)>& expired);
  void for_each(const std::function<void(const session&)>& visit) const;

 private:
  // Versions as decimal numbers without leading zeros: by length, then text.
  struct version_less {
    bool operator()(const std::string& a, const std::string& b) const {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    }
  };
  // The hashes of one origin that announce one o= session, with their versions (empty when not a
  // number), and the numeric versions in ascending order.
  struct identity_group {
    std::map<uint16_t, std::optional<std::string>> versions;
    std::multiset<std::string, version_less> ordered;
  };
  struct origin_sessions {
    std::unordered_map<uint16_t, entry> by_hash;
    std::unordered_map<std::string, identity_group> by_identity;
  };
  using origin_map = std::unordered_map<std::string, origin_sessions>;
  using key_list = std::vector<std::pair<std::string, uint16_t>>;

  static void index(origin_sessions& sessions, uint16_t hash, const origin_identity& identity);
  static void unindex(origin_sessions& sessions, uint16_t hash, const origin_identity& identity);
  [[nodiscard]] key_list sorted_keys() const;

  origin_map origins_;
  size_t size_ = 0;
};

}  // namespace sap
