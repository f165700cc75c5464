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

#include <boost/asio/ip/address.hpp>
#include <boost/intrusive/list.hpp>

#include "sap/impl/session.h"

namespace sap {

// The sessions of a listener, grouped per origin and, within an origin, indexed by hash and by the
// o= session they announce. A lookup costs the same however many sessions one origin announces:
// SAP is unauthenticated, so a single sender may fill the whole table. The indices are hashed, as
// every datagram looks them up; the rare walks over the whole table (expiry, a snapshot) sort the
// keys and go in key order: origin text byte-wise, then hash.
//
// Each entry also belongs to the UDP sender that announced it. A full table makes room from what
// is worth least: entries heard only once, oldest first, and the entries of a sender holding its
// share of the table or more; every choice costs the same however full the table is.
class session_table {
 public:
  using sender_address = boost::asio::ip::address;
  using list_hook = boost::intrusive::list_member_hook<>;

  struct entry {
    session announced;
    // Recognises a modification announced under a new hash.
    origin_identity identity;
    // The UDP source address it came from: the only one that may change or delete it.
    sender_address sender;
    // Heard more than once; until then it is the first to go from a full table.
    bool heard_again = false;
    // Its place in its sender's list, and in the table's list of entries heard once.
    list_hook in_sender;
    list_hook in_once;
  };

  // A sender holding share entries or more of a full table makes room from its own.
  explicit session_table(size_t sender_share) : sender_share_(sender_share) {}

  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] size_t sender_count() const { return senders_.size(); }
  // The entry of this origin and hash, or null.
  [[nodiscard]] entry* find(const std::string& origin, uint16_t hash);
  // The entry of this origin that an announcement of identity modifies: the same o= session with
  // an older version; the lowest hash when there are several. Null when there is none.
  [[nodiscard]] const entry* modified_by(const std::string& origin, const origin_identity& identity) const;
  // Adds an entry whose key is not in the table; the stored session. An entry that takes over an
  // established one (a modification) counts as heard again from the start.
  const session& insert(session announced, origin_identity identity, const sender_address& sender,
                        bool heard_again = false);
  // Gives a stored entry new content under the same key.
  void replace(entry& stored, session announced, origin_identity identity);
  // Marks a stored entry as heard now.
  void heard(entry& stored);
  // What to drop so that a full table takes a new session from sender: its own oldest entry heard
  // once when it holds its share; otherwise the oldest entry heard once, or else the least
  // recently heard entry of the sender holding most, when that is its share or more. Null when
  // nothing may go.
  [[nodiscard]] const entry* eviction_candidate(const sender_address& sender) const;
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
  // Lists through the entries themselves: linking and unlinking allocate nothing.
  using sender_list = boost::intrusive::list<entry, boost::intrusive::member_hook<entry, list_hook, &entry::in_sender>>;
  using once_list = boost::intrusive::list<entry, boost::intrusive::member_hook<entry, list_hook, &entry::in_once>>;
  // The entries of one sender: heard once (oldest first) and heard again (least recent first).
  struct sender_sessions {
    size_t count = 0;
    sender_list once;
    sender_list heard;
  };
  struct sender_hash {
    size_t operator()(const sender_address& address) const;
  };

  static void index(origin_sessions& sessions, uint16_t hash, const origin_identity& identity);
  static void unindex(origin_sessions& sessions, uint16_t hash, const origin_identity& identity);
  void link(entry& stored);
  void unlink(entry& stored);
  [[nodiscard]] key_list sorted_keys() const;

  origin_map origins_;
  size_t size_ = 0;
  const size_t sender_share_;
  std::unordered_map<sender_address, sender_sessions, sender_hash> senders_;
  // Every sender's entries heard once, oldest first. Declared after the entries' maps, so that it
  // lets go of them before they go.
  once_list once_;
  // The senders holding their share or more: at most table size / share of them.
  std::vector<sender_address> large_senders_;
};

}  // namespace sap
