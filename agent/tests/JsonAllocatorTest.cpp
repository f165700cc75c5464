#include "agent/src/Json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "testing/stdout_capture.h"

// The heap-failure cases ask for absurd sizes; sanitizer allocators must answer null, as the
// C library does, instead of stopping the test.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using lmr::AllocatorCounters;
using lmr::MemoryPoolAllocator;
using testing_support::StdoutCapture;

constexpr uint32_t kChunk = 65536;

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(AllocatorCounters, ANewAllocatorHoldsOneChunkUntilDestroyed) {
  const AllocatorCounters before = lmr::allocatorCounters();
  {
    MemoryPoolAllocator allocator;
    EXPECT_EQ(allocator.chunkCapacity(), kChunk);
    EXPECT_EQ(allocator.usedInHeadChunk(), 0u);
    const AllocatorCounters during = lmr::allocatorCounters();
    EXPECT_EQ(during.liveAllocators, before.liveAllocators + 1);
    EXPECT_EQ(during.pooledBytes, before.pooledBytes + kChunk);

    // Filling the first chunk adds a second one of the ordinary capacity.
    (void)allocator.Malloc(kChunk);
    EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes + kChunk);
    (void)allocator.Malloc(1);
    EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes + 2 * kChunk);
  }
  const AllocatorCounters after = lmr::allocatorCounters();
  EXPECT_EQ(after.liveAllocators, before.liveAllocators);
  EXPECT_EQ(after.pooledBytes, before.pooledBytes);
}

TEST(AllocatorCounters, EveryDocumentOwnsItsOwnPool) {
  const AllocatorCounters before = lmr::allocatorCounters();
  {
    lmr::Document first;
    lmr::Document second;
    second.Parse(R"({"a":[1,2,3],"b":"text"})");
    ASSERT_FALSE(second.HasParseError());
    const AllocatorCounters during = lmr::allocatorCounters();
    EXPECT_EQ(during.liveAllocators, before.liveAllocators + 2);
    EXPECT_EQ(during.pooledBytes, before.pooledBytes + 2 * kChunk);
  }
  EXPECT_EQ(lmr::allocatorCounters().liveAllocators, before.liveAllocators);
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes);
}

TEST(AllocatorCounters, StayExactWhileManyThreadsCreateDocuments) {
  const AllocatorCounters before = lmr::allocatorCounters();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        lmr::Document document;
        document.Parse(R"({"x":1.5})");
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(lmr::allocatorCounters().liveAllocators, before.liveAllocators);
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes);
}

TEST(AllocatorBlocks, AreRoundedToEightBytesAndAligned) {
  MemoryPoolAllocator allocator;
  void* five = allocator.Malloc(5);
  void* one = allocator.Malloc(1);
  EXPECT_EQ(address(one) - address(five), 8u);
  EXPECT_EQ(allocator.usedInHeadChunk(), 16u);
  for (size_t size : {1u, 3u, 7u, 9u, 13u, 24u}) {
    EXPECT_EQ(address(allocator.Malloc(size)) % alignof(double), 0u) << size;
  }
  void* empty = allocator.Malloc(0);
  EXPECT_NE(empty, nullptr);
  EXPECT_EQ(allocator.Malloc(8), empty);  // zero bytes consume nothing
}

TEST(AllocatorBlocks, DocumentValuesStayAlignedAfterOddStrings) {
  // A 16-character string takes 17 bytes of the pool (shorter ones live inside the value);
  // with 4-byte rounding the arrays after it, and the doubles in them, would sit misaligned.
  lmr::Document document;
  document.Parse(R"({"text":"0123456789abcdef","d":[2.5,3.75],"n":1.25})");
  ASSERT_FALSE(document.HasParseError());
  EXPECT_DOUBLE_EQ(document["d"][1].GetDouble(), 3.75);
  EXPECT_DOUBLE_EQ(document["n"].GetDouble(), 1.25);
  EXPECT_EQ(address(&document["d"][0]) % 8, 0u);
  EXPECT_EQ(address(&*document.MemberBegin()) % 8, 0u);
}

TEST(AllocatorBlocks, ALargeRequestGetsAChunkOfExactlyItsRoundedSize) {
  MemoryPoolAllocator allocator;
  const uint32_t before = lmr::allocatorCounters().pooledBytes;
  void* big = allocator.Malloc(70001);
  std::memset(big, 0xAB, 70001);
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before + 70008);
  EXPECT_EQ(allocator.usedInHeadChunk(), 70008u);
  // The big chunk is full: the next block opens an ordinary one.
  (void)allocator.Malloc(8);
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before + 70008 + kChunk);
}

TEST(AllocatorRealloc, GrowsTheNewestBlockInPlaceWhileItFits) {
  MemoryPoolAllocator allocator;
  char* block = static_cast<char*>(allocator.Malloc(16));
  std::memcpy(block, "0123456789abcdef", 16);
  EXPECT_EQ(allocator.Realloc(block, 16, 64), block);
  EXPECT_EQ(allocator.usedInHeadChunk(), 64u);
  EXPECT_EQ(std::memcmp(block, "0123456789abcdef", 16), 0);

  // Shrinking or keeping the size never moves anything.
  EXPECT_EQ(allocator.Realloc(block, 64, 8), block);
  EXPECT_EQ(allocator.Realloc(block, 64, 64), block);
  EXPECT_EQ(allocator.usedInHeadChunk(), 64u);

  // An unrounded old size still finds the block at the chunk's end (5 occupies 8).
  void* odd = allocator.Malloc(5);
  EXPECT_EQ(allocator.Realloc(odd, 5, 12), odd);
  EXPECT_EQ(allocator.usedInHeadChunk(), 80u);
}

TEST(AllocatorRealloc, CopiesWhenTheBlockIsNotNewestOrTheChunkIsFull) {
  MemoryPoolAllocator allocator;
  char* first = static_cast<char*>(allocator.Malloc(8));
  std::memcpy(first, "abcdefg", 8);
  (void)allocator.Malloc(8);
  char* moved = static_cast<char*>(allocator.Realloc(first, 8, 32));
  EXPECT_NE(moved, first);
  EXPECT_STREQ(moved, "abcdefg");

  char* last = static_cast<char*>(allocator.Malloc(16));
  std::memcpy(last, "last block here", 16);
  const uint32_t before = lmr::allocatorCounters().pooledBytes;
  char* grown = static_cast<char*>(allocator.Realloc(last, 16, kChunk));
  EXPECT_NE(grown, last);
  EXPECT_STREQ(grown, "last block here");
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before + kChunk);

  EXPECT_NE(allocator.Realloc(nullptr, 0, 24), nullptr);
}

TEST(AllocatorHeapFailure, ThrowsBadAllocAndKeepsTheCountersRight) {
  const AllocatorCounters before = lmr::allocatorCounters();
  {
    MemoryPoolAllocator allocator;
    EXPECT_THROW((void)allocator.Malloc(std::numeric_limits<size_t>::max() - 3), std::bad_alloc);
    EXPECT_THROW((void)allocator.Malloc(std::numeric_limits<size_t>::max() / 2), std::bad_alloc);
    EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes + kChunk);
    // Still usable afterwards.
    EXPECT_NE(allocator.Malloc(8), nullptr);
  }
  EXPECT_THROW(MemoryPoolAllocator(std::numeric_limits<size_t>::max() / 2), std::bad_alloc);
  EXPECT_EQ(lmr::allocatorCounters().liveAllocators, before.liveAllocators);
  EXPECT_EQ(lmr::allocatorCounters().pooledBytes, before.pooledBytes);
}

TEST(JsonMember, AnswersMissingMembersAndNonObjectsWithASharedNull) {
  lmr::Document document;
  document.Parse(R"({"present":7,"list":[1]})");
  StdoutCapture capture;

  const lmr::Value& present = lmr::member(document, "present");
  EXPECT_EQ(present.GetInt(), 7);
  EXPECT_EQ(capture.take(), "");

  const lmr::Value& missing = lmr::member(document, "x");
  EXPECT_TRUE(missing.IsNull());
  EXPECT_EQ(capture.take(), "rapidJson: member x not found; please fix it!\n");

  const lmr::Value& notObject = lmr::member(document["list"], "y");
  EXPECT_TRUE(notObject.IsNull());
  EXPECT_EQ(capture.take(), "not an object [y]\n");
  EXPECT_EQ(&missing, &notObject);

  // Chained look-ups through the null keep answering instead of stopping.
  EXPECT_TRUE(lmr::member(lmr::member(document, "a"), "b").IsNull());
  EXPECT_EQ(capture.take(), "rapidJson: member a not found; please fix it!\nnot an object [b]\n");
}

TEST(JsonMember, TheSharedNullIsTheSameForEveryThread) {
  const lmr::Value empty(rapidjson::kObjectType);
  StdoutCapture capture;
  std::vector<const lmr::Value*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] { seen[t] = &lmr::member(empty, "none"); });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const lmr::Value* value : seen) {
    EXPECT_EQ(value, seen[0]);
    EXPECT_TRUE(value->IsNull());
  }
}

TEST(JsonParseBounded, TakesWhatParseTakesAndRefusesTheRest) {
  const std::string text = R"({"a":[1,-2,3.5,"x",true,null,{"b":{}}],"c":18446744073709551615})";
  rapidjson::StringStream stream(text.c_str());
  lmr::Document bounded;
  ASSERT_TRUE(lmr::parseBounded(bounded, stream));
  lmr::Document plain;
  plain.Parse(text.c_str());
  EXPECT_TRUE(bounded == plain);

  for (const std::string& refused :
       {std::string("{\"a\":1} trailing"), std::string("{\"a\":"), std::string(""),
        std::string(lmr::kMaxJsonDepth + 1, '[') + std::string(lmr::kMaxJsonDepth + 1, ']')}) {
    lmr::Document document(rapidjson::kObjectType);
    rapidjson::StringStream refusedStream(refused.c_str());
    EXPECT_FALSE(lmr::parseBounded(document, refusedStream)) << refused.substr(0, 20);
    EXPECT_TRUE(document.IsObject() && document.ObjectEmpty()) << "left as it was";
  }
}

TEST(JsonAssert, MisuseThrowsInsteadOfAborting) {
  lmr::Document document;
  document.Parse(R"({"mode":"Master","plugins":5})");
  EXPECT_THROW((void)document["mode"].GetInt(), std::runtime_error);
  EXPECT_THROW((void)document["plugins"].GetArray(), std::runtime_error);
  EXPECT_THROW((void)document["absent"], std::runtime_error);
  // The document stays usable.
  EXPECT_STREQ(document["mode"].GetString(), "Master");
}

}  // namespace
