#pragma once

// Fixture for the tests that run against the fake DNS-SD library.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>

#include "testing/dnssd_fake/dnssd_fake.h"
#include "testing/stdout_capture.h"
#include "zeroconf/src/bonjour_client.h"
#include "zeroconf/tests/test_support.h"

namespace zeroconf_test {

class fake_library_test : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& started : dnssd_fake::operations()) {
      ++consumed_[started.kind];
    }
    violations_before_ = dnssd_fake::violations().size();
    client_ = make_client(0);
  }

  void TearDown() override {
    client_.reset();
    if (HasFailure()) {
      std::fprintf(stderr, "--- output of the test ---\n%s\n", output().c_str());
    }
    const auto violations = dnssd_fake::violations();
    for (size_t index = violations_before_; index < violations.size(); ++index) {
      ADD_FAILURE() << "library misuse: " << violations[index];
    }
    dnssd_fake::set_process_result(0);
    dnssd_fake::set_service_down(false);
    dnssd_fake::set_max_live_operations(0);
  }

  static std::shared_ptr<zeroconf::client> make_client(int32_t interface_index) {
    return std::shared_ptr<zeroconf::client>(zeroconf::create_client(interface_index));
  }

  // The next operation of this kind started during the test (waits for it).
  dnssd_fake::operation next(dnssd_fake::operation_kind kind) {
    auto found = dnssd_fake::wait_for_kind(kind, consumed_[kind]++);
    if (!found) {
      ADD_FAILURE() << "operation not started";
      return {};
    }
    return *found;
  }

  // The current state of a started operation.
  static dnssd_fake::operation current(DNSServiceRef ref) {
    for (const auto& started : dnssd_fake::operations()) {
      if (started.ref == ref) {
        return started;
      }
    }
    return {};
  }

  static bool released(DNSServiceRef ref) { return current(ref).deallocations > 0; }

  // Short waits before an operation starts again, so the tests run in a fraction of a second.
  static void use_short_retry_delays(const std::shared_ptr<zeroconf::client>& client,
                                     std::chrono::milliseconds first = 20ms, std::chrono::milliseconds limit = 80ms) {
    std::static_pointer_cast<zeroconf::bonjour_client>(client)->set_retry_delays(zeroconf::retry_delays{first, limit});
  }

  // Everything written to stdout until `needle` shows up (or the timeout passes).
  std::string output_until(const std::string& needle, std::chrono::milliseconds timeout = 5s) {
    waitUntil(
        [&] {
          output_ += capture_.take();
          return output_.find(needle) != std::string::npos;
        },
        timeout);
    return output_;
  }
  std::string output() {
    output_ += capture_.take();
    return output_;
  }

  testing_support::StdoutCapture capture_;
  std::shared_ptr<zeroconf::client> client_;

 private:
  std::map<dnssd_fake::operation_kind, size_t> consumed_;
  size_t violations_before_ = 0;
  std::string output_;
};

}  // namespace zeroconf_test
