// The arithmetic behind the status and statistics bodies, at the edges the whole-link tests do
// not reach.

#include <gtest/gtest.h>

#include "support/bytes.h"
#include "translation/percent_done.h"
#include "translation/volume_bodies.h"

namespace {

DriveEntry Entry(std::uint32_t operation, std::uint32_t pass, std::uint32_t percent) {
  DriveEntry entry{};
  entry.dwAnalyzeOrDefrag = operation;
  entry.dwPass = pass;
  entry.dwPercentDone = percent;
  return entry;
}

TEST(PercentDone, NoOperationCountsAsAnalysis) {
  DriveEntry entry = Entry(kNoOperation, 0, 0);
  ASSERT_TRUE(AdvancePercentDone(entry, 60));
  EXPECT_EQ(20u, entry.dwPercentDone);
  entry = Entry(kNoOperation, 1, 35);
  EXPECT_FALSE(AdvancePercentDone(entry, 1));
  EXPECT_EQ(2u, entry.dwPass);
  EXPECT_EQ(35u, entry.dwPercentDone);
}

TEST(PercentDone, PassJumpWithAZeroReportIsSentAtOnce) {
  DriveEntry entry = Entry(kOperationDefrag, 1, 24);
  ASSERT_TRUE(AdvancePercentDone(entry, 0));
  EXPECT_EQ(8u, entry.dwPass);
  EXPECT_EQ(88u, entry.dwPercentDone);
  entry = Entry(kOperationDefrag, 1, 23);  // not above 23: the pass stays
  ASSERT_TRUE(AdvancePercentDone(entry, 90));
  EXPECT_EQ(1u, entry.dwPass);
  EXPECT_EQ(21u, entry.dwPercentDone);
}

std::vector<BYTE> Statistics(std::uint64_t s, std::uint64_t t, std::uint64_t u) {
  DriveEntry entry{};
  const std::vector<BYTE> data = Bytes(1640).U64(48, s).U64(72, t).U64(96, u);
  const VolumeStatistics stats = BuildVolumeStatistics(data.data(), entry, L'C');
  return BytesOf(&stats, sizeof(stats));
}

TEST(VolumeStatisticsArithmetic, PercentUsedIsASignedDivisionTowardZero) {
  EXPECT_EQ(static_cast<std::uint64_t>(-50), U64At(Statistics(8, 100, 150), 272));
  EXPECT_EQ(static_cast<std::uint64_t>(-33), U64At(Statistics(1, 3, 4), 272));  // -33.3 toward zero
  EXPECT_EQ(0u, U64At(Statistics(1, 0, 7), 272));
  // T = 2^64 - 1 is -1 as a signed divisor: (T - 0) x 100 wraps to -100, and -100 / -1 = 100.
  EXPECT_EQ(100u, U64At(Statistics(1, ~0ull, 0), 272));
  // Products keep their low 64 bits.
  EXPECT_EQ(0u, U64At(Statistics(1ull << 32, 1ull << 32, 0), 240));
}

TEST(VolumeData, OnlyTheExactWordAnalyzeSelectsAnalysis) {
  const auto text = [](const wchar_t* value, std::size_t units) {
    WCHAR field[16] = {};
    for (std::size_t i = 0; i < units && i < 16; ++i) field[i] = value[i];
    return IsAnalyzeText(field);
  };
  EXPECT_TRUE(text(L"Analyze\0xyz", 11));
  EXPECT_FALSE(text(L"ANALYZE", 7));
  EXPECT_FALSE(text(L"Analyzer", 8));
  EXPECT_FALSE(text(L"", 0));
}

}  // namespace
