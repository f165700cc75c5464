#include "RequestReader.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include <boost/beast/http/error.hpp>

namespace tvsk {

namespace http = boost::beast::http;

RequestReader::RequestReader(std::size_t headerLimit, std::size_t bodyLimit)
    : headerLimit_(headerLimit), bodyLimit_(bodyLimit), buffer_(headerLimit) {
  reset();
}

void RequestReader::reset() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(headerLimit_, UINT32_MAX)));
  parser_->body_limit(bodyLimit_);
  headerBytes_ = 0;
  headerReported_ = false;
}

boost::asio::mutable_buffer RequestReader::prepare() {
  // Never more than the unparsed part may still grow to, so a trailer over its room is never
  // parsed whole.
  const std::size_t room = unparsedRoom();
  return buffer_.prepare(std::min(kReadSize, room - std::min(room, buffer_.size())));
}

std::size_t RequestReader::unparsedRoom() const { return headerLimit_ - std::min(headerBytes_, headerLimit_); }

void RequestReader::commit(std::size_t size) { buffer_.commit(size); }

RequestReader::Progress RequestReader::parse() {
  try {
    return parseSome();
  } catch (const std::exception&) {
    // Beast throws for a field it cannot store (a trailer value of 64 KiB, say).
    return Progress::Malformed;
  }
}

RequestReader::Progress RequestReader::parseSome() {
  while (buffer_.size() > 0 && !parser_->is_done()) {
    const bool inHeader = !parser_->is_header_done();
    // The header alone first, so the caller can answer "Expect: 100-continue" before the body.
    parser_->eager(!inHeader);
    boost::beast::error_code ec;
    const std::size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    if (inHeader) {
      headerBytes_ += used;
    }
    if (ec == http::error::need_more) {
      break;
    }
    if (ec) {
      return failure(ec);
    }
    if (parser_->is_header_done() && !headerReported_) {
      break;
    }
    if (used == 0) {
      break;
    }
  }
  if (parser_->is_header_done() && !headerReported_) {
    headerReported_ = true;
    return Progress::HeaderDone;
  }
  if (parser_->is_done()) {
    return Progress::Complete;
  }
  return buffer_.size() >= unparsedRoom() ? Progress::HeaderTooLarge : Progress::NeedMore;
}

RequestReader::Progress RequestReader::failure(const boost::beast::error_code& ec) {
  if (ec == http::error::header_limit) {
    return Progress::HeaderTooLarge;
  }
  if (ec == http::error::body_limit) {
    return Progress::BodyTooLarge;
  }
  return Progress::Malformed;
}

}  // namespace tvsk
