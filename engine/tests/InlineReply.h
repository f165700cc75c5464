#pragma once

// Deferred work of the API router answered without a server: hooks that answer at once leave the
// answer in the reply by the time the deferred call returns.

#include <memory>
#include <optional>
#include <utility>

#include "engine/src/ApiRouter.h"

namespace engine_test {

class InlineReply final : public tvsk::DeferredReply {
 public:
  void send(tvsk::ApiResponse response) override { response_ = std::move(response); }
  [[nodiscard]] bool abandoned() const override { return false; }
  [[nodiscard]] const std::optional<tvsk::ApiResponse>& response() const { return response_; }

 private:
  std::optional<tvsk::ApiResponse> response_;
};

// The outcome's answer; 504 when deferred work was queued and has not answered.
inline tvsk::ApiResponse answerOf(const tvsk::ApiOutcome& outcome) {
  if (!outcome.deferred) {
    return outcome.response;
  }
  const auto reply = std::make_shared<InlineReply>();
  if (auto now = outcome.deferred(reply)) {
    return std::move(*now);
  }
  return reply->response().value_or(tvsk::ApiRouter::errorResponse(504, "no answer yet"));
}

}  // namespace engine_test
