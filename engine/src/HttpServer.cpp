#include "HttpServer.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ConnectionEviction.h"
#include "EngineLog.h"
#include "HttpSession.h"

namespace tvsk {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// Drops expired entries; how many stay.
template <typename T>
std::size_t prune(std::list<std::weak_ptr<T>>& list) {
  list.remove_if([](const std::weak_ptr<T>& entry) { return entry.expired(); });
  return list.size();
}

}  // namespace

HttpServer::HttpServer(const ApiRouter& router, HttpServerOptions options)
    : router_(router), options_(std::move(options)), acceptor_(io_) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error) {
  error_code ec;
  const auto address = asio::ip::make_address_v4(options_.address, ec);
  if (ec) {
    error = "bad listen address " + options_.address;
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  accept();
  thread_ = std::thread([this] { run(); });
  return true;
}

void HttpServer::run() {
  for (;;) {
    try {
      io_.run();
      return;
    } catch (const std::exception& error) {
      // The handler's session is gone with its connection; the others go on.
      printEngineLine("HTTP: connection dropped after an error: " + std::string(error.what()), Console::Error);
    } catch (...) {
      printEngineLine("HTTP: connection dropped after an unknown error", Console::Error);
    }
  }
}

void HttpServer::accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
      return;
    }
    if (ec) {
      // Out of descriptors, for example: try again a little later instead of spinning.
      auto timer = std::make_shared<asio::steady_timer>(io_, kAcceptRetryDelay);
      timer->async_wait([this, timer](error_code) { accept(); });
      return;
    }
    admit(std::move(socket));
    accept();
  });
}

void HttpServer::admit(tcp::socket socket) {
  error_code ec;
  asio::ip::address peer = socket.remote_endpoint(ec).address();
  if (ec) {
    return;  // already gone
  }
  const std::size_t open = prune(sessions_);
  const auto fromPeer =
      static_cast<std::size_t>(std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
        const auto session = entry.lock();
        return session && session->peer() == peer;
      }));
  const bool room = fromPeer >= options_.maxConnectionsPerPeer ? makeRoom(&peer)
                                                               : open < options_.maxConnections || makeRoom(nullptr);
  if (room) {
    auto session = std::make_shared<HttpSession>(std::move(socket), std::move(peer), router_, options_);
    sessions_.push_back(session);
    session->start();
    return;
  }
  // Refusals are answered within their own cap; past it the connection is just closed.
  if (prune(refusals_) < options_.maxConnections) {
    auto session = std::make_shared<HttpSession>(std::move(socket), std::move(peer), router_, options_);
    refusals_.push_back(session);
    session->refuse();
    return;
  }
  error_code ignored;
  socket.close(ignored);
}

bool HttpServer::makeRoom(const asio::ip::address* onlyPeer) {
  std::vector<std::list<std::weak_ptr<HttpSession>>::iterator> entries;
  std::vector<ConnectionStanding> standings;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (const auto session = it->lock()) {
      entries.push_back(it);
      standings.push_back(session->standing());
    }
  }
  const auto chosen = chooseConnectionToEvict(standings, std::chrono::steady_clock::now(), onlyPeer);
  if (!chosen) {
    return false;
  }
  if (const auto session = entries[*chosen]->lock()) {
    session->evict();
  }
  sessions_.erase(entries[*chosen]);
  return true;
}

void HttpServer::stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  if (thread_.joinable()) {
    asio::post(io_, [this] {
      error_code ignored;
      acceptor_.close(ignored);
      io_.stop();
    });
    thread_.join();
  } else {
    error_code ignored;
    acceptor_.close(ignored);
  }
}

}  // namespace tvsk
