// The gateway's store of changes: kept in order across a restart, held to its
// disk budget by dropping the oldest (counted), removed once sent.
#include "store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace gateway {
namespace {

// "t7" (built so, since g++ 12 warns wrongly about "t" + std::to_string(i)).
std::string Topic(std::size_t i) {
    std::string topic = std::to_string(i);
    topic.insert(topic.begin(), 't');
    return topic;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/kelvo-store-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/store.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_, path_;
};

TEST_F(StoreTest, KeepsOrderAcrossRestartAndRemovesWhatWasSent) {
    {
        Store store(path_, 1 << 20);
        for (int i = 0; i < 100; ++i) {
            store.put(i % 2, Topic(static_cast<std::size_t>(i)),
                      std::string(3, static_cast<char>(i)), 1000 + i);
        }
        store.setNumber("bdSeq", 7);
        store.flush();
    }  // as after the end of the process: only what is in the file counts
    Store store(path_, 1 << 20);
    EXPECT_EQ(store.number("bdSeq", -1), 7);
    EXPECT_EQ(store.number("absent", -1), -1);
    EXPECT_EQ(store.last(), 100);
    EXPECT_EQ(store.put(1, "later", "x", 5), 101);  // IDs go on after the last row
    store.flush();
    const auto odd = store.read(1, 0, 1000);
    ASSERT_EQ(odd.size(), 51u);
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(odd[i].id, static_cast<std::int64_t>(2 * i + 2));
        EXPECT_EQ(odd[i].topic, Topic(2 * i + 1));
        EXPECT_EQ(odd[i].payload, std::string(3, static_cast<char>(2 * i + 1)));  // bytes, NUL too
        EXPECT_EQ(odd[i].at, static_cast<std::int64_t>(1000 + 2 * i + 1));
    }
    EXPECT_EQ(store.read(1, odd[9].id, 2)[0].id, odd[10].id);  // after a cursor, at most `limit`
    EXPECT_EQ(store.read(1, odd[9].id, 2).size(), 2u);
    store.remove(1, {odd[0].id, odd[1].id, 9999});
    EXPECT_EQ(store.held(1), 49u);
    EXPECT_EQ(store.held(0), 50u);
    EXPECT_EQ(store.read(1, 0, 1)[0].id, odd[2].id);
}

TEST_F(StoreTest, DropsTheOldestPastItsBudgetAndCountsThem) {
    constexpr std::uint64_t BUDGET = 64 * 1024;
    const std::string payload(100, 'p');
    const std::uint64_t cost = 5 + payload.size() + Store::ROW_OVERHEAD;
    {
        Store store(path_, BUDGET);
        for (int i = 1; i <= 2000; ++i) {
            store.put(1, "topic", payload, i);
            if (i % 100 == 0) store.flush();  // commits of many sizes
        }
        store.flush();
        const auto counts = store.counts();
        EXPECT_GT(counts.dropped, 0u);
        EXPECT_EQ(counts.rows + counts.dropped, 2000u);
        EXPECT_LE(counts.bytes, BUDGET);
        EXPECT_EQ(counts.bytes, counts.rows * cost);
        const auto kept = store.read(1, 0, 5000);
        ASSERT_EQ(kept.size(), counts.rows);
        // The newest are kept, without a gap.
        EXPECT_EQ(kept.back().id, 2000);
        EXPECT_EQ(kept.front().id, static_cast<std::int64_t>(counts.dropped + 1));
    }
    Store store(path_, BUDGET);
    EXPECT_GT(store.counts().dropped, 0u);  // the count survives a restart
    EXPECT_EQ(store.counts().rows + store.counts().dropped, 2000u);
}

TEST_F(StoreTest, RefusesAFileThatIsNoStoreOrIsInUse) {
    {
        FILE* f = std::fopen(path_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("not a database, but long enough to be read as one's first page......", f);
        std::fclose(f);
    }
    EXPECT_THROW(Store(path_, 1 << 20), ConfigError);
    EXPECT_THROW(Store(dir_ + "/missing/store.db", 1 << 20), ConfigError);
    std::filesystem::remove(path_);
    Store first(path_, 1 << 20);  // one gateway per store
    EXPECT_THROW(Store(path_, 1 << 20), ConfigError);
}

}  // namespace
}  // namespace gateway
