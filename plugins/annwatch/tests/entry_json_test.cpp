#include "plugins/annwatch/entry_json.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include <nlohmann/json.hpp>

using annwatch::read_list_address;
using annwatch::read_start_id;

namespace {

std::string runtimeErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace

TEST(EntryJson, StartIdConversions) {
  EXPECT_EQ(read_start_id(R"({"StartId":100})"), 100);
  EXPECT_EQ(read_start_id(R"({"StartId":-7})"), -7);
  EXPECT_EQ(read_start_id(R"({"StartId":2.9})"), 2);
  EXPECT_EQ(read_start_id(R"({"StartId":-2.9})"), -2);
  EXPECT_EQ(read_start_id(R"({"StartId":true})"), 1);
  EXPECT_EQ(read_start_id(R"({"StartId":false})"), 0);
  EXPECT_EQ(read_start_id(R"({"StartId":2147483647})"), 2147483647);
  EXPECT_EQ(runtimeErrorOf([] { (void)read_start_id(R"({"StartId":"5"})"); }), "Not an int");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_start_id(R"({"StartId":null})"); }), "Not an int");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_start_id(R"({"StartId":[1]})"); }), "Not an int");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_start_id(R"({"StartId":2147483648})"); }), "Not an int");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_start_id(R"({"StartId":1e300})"); }), "Not an int");
  EXPECT_THROW((void)read_start_id("{"), nlohmann::json::parse_error);
}

TEST(EntryJson, MissingStartIdStartsAtZeroWithALine) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_start_id("{}"), 0);
  EXPECT_EQ(read_start_id("[1,2]"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "SAP DISCOVERY: StartId missing, starting at 0\nSAP DISCOVERY: StartId missing, starting at 0\n");
}

TEST(EntryJson, ListAddressConversions) {
  EXPECT_EQ(read_list_address("{}"), 0u);
  EXPECT_EQ(read_list_address("5"), 0u);
  EXPECT_EQ(read_list_address(R"({"ListAddress":140737488355328})"), 140737488355328u);
  EXPECT_EQ(read_list_address(R"({"ListAddress":18446744073709551615})"), 18446744073709551615u);
  EXPECT_EQ(read_list_address(R"({"ListAddress":4096.7})"), 4096u);
  EXPECT_EQ(read_list_address(R"({"ListAddress":false})"), 0u);
  EXPECT_EQ(runtimeErrorOf([] { (void)read_list_address(R"({"ListAddress":"0x1"})"); }), "Not an unsigned integer");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_list_address(R"({"ListAddress":-1})"); }), "Not an unsigned integer");
  EXPECT_EQ(runtimeErrorOf([] { (void)read_list_address(R"({"ListAddress":1e30})"); }), "Not an unsigned integer");
  EXPECT_THROW((void)read_list_address("not json"), nlohmann::json::parse_error);
}
