#pragma once

#include <cstddef>
#include <optional>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace tvsk {

// Takes the bytes of one connection and yields its requests one at a time, within the server's
// limits: the header section and a chunked body's trailer together within the header limit, the
// body within the body limit, so what a peer can make the server hold is bounded. Bytes past a
// request stay for the next one. The server and the request fuzz target both read through it.
class RequestReader {
 public:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  enum class Progress {
    NeedMore,        // read more bytes into prepare()
    HeaderDone,      // reported once per request, before any body byte is parsed
    Complete,        // request() is whole
    HeaderTooLarge,  // header section (with the trailer) over the header limit
    BodyTooLarge,
    Malformed,
  };

  // Largest single read into the buffer.
  static constexpr std::size_t kReadSize = 16 * 1024;

  RequestReader(std::size_t headerLimit, std::size_t bodyLimit);

  // Starts the next request; bytes already read and not yet used stay.
  void reset();
  // Room for the next read; commit() what was written there.
  [[nodiscard]] boost::asio::mutable_buffer prepare();
  void commit(std::size_t size);
  // Parses what has arrived. Never throws: a parser exception is a malformed request.
  [[nodiscard]] Progress parse();

  [[nodiscard]] bool hasUnreadBytes() const { return buffer_.size() > 0; }
  [[nodiscard]] Request& request() { return parser_->get(); }

 private:
  [[nodiscard]] Progress parseSome();
  // What waits unparsed is a header line, a chunk line or the trailer: it shares the header's room.
  [[nodiscard]] std::size_t unparsedRoom() const;
  [[nodiscard]] static Progress failure(const boost::beast::error_code& ec);

  std::size_t headerLimit_;
  std::size_t bodyLimit_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  std::size_t headerBytes_ = 0;
  bool headerReported_ = false;
};

}  // namespace tvsk
