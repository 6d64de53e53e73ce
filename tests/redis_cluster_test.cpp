// SPDX-License-Identifier: GPL-3.0-or-later
// The local Redis Cluster the store's cluster tests run against: it comes
// up whole, computes slots as the servers do, and reshards and fails over
// for real.
#include "redis_cluster.h"

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

namespace vorn::test {
namespace {

// One cluster for the cases of this file when they run in one process; each
// case leaves it whole (every slot served, three primaries with a replica
// each) for the next.
class RedisClusterTest : public testing::Test {
protected:
    static void SetUpTestSuite() { cluster_ = std::make_unique<RedisCluster>(); }
    static void TearDownTestSuite() { cluster_.reset(); }
    void SetUp() override {
        if (!RedisCluster::installed()) GTEST_SKIP() << "redis-server or redis-cli is not installed";
        ASSERT_TRUE(cluster_->running());
    }
    static std::unique_ptr<RedisCluster> cluster_;
};
std::unique_ptr<RedisCluster> RedisClusterTest::cluster_;

TEST_F(RedisClusterTest, ComesUpWithEverySlotServed) {
    const std::vector<int> primaries = cluster_->primary_ports();
    ASSERT_EQ(primaries.size(), 3u);
    EXPECT_EQ(cluster_->replica_ports().size(), 3u);
    std::string addresses;
    for (int port : primaries) addresses += (addresses.empty() ? "127.0.0.1:" : " 127.0.0.1:") + std::to_string(port);
    EXPECT_EQ(cluster_->addresses(), addresses);
    std::size_t served = 0;
    for (int port : primaries) served += cluster_->slots_of(port).size();
    EXPECT_EQ(served, 16384u);
    for (int slot : {0, 16383}) EXPECT_NE(cluster_->owner_of(slot), 0) << slot;

    // A key lands on its owner, which answers for it; and a setting reaches
    // every node.
    const int owner = cluster_->port_of("visits");
    EXPECT_EQ(cluster_->run(owner, {"SET", "visits", "7"}), "OK");
    EXPECT_EQ(cluster_->run_at("visits", {"GET", "visits"}), "7");
    cluster_->set_config("maxmemory-policy", "allkeys-lru");
    for (int port : cluster_->live_ports()) {
        EXPECT_EQ(cluster_->array(port, {"CONFIG", "GET", "maxmemory-policy"}).back(), "allkeys-lru") << port;
    }
    cluster_->set_config("maxmemory-policy", "noeviction");
}

TEST_F(RedisClusterTest, SlotOfAgreesWithServer) {
    const int port = cluster_->live_ports().front();
    for (const std::string key : {"", "a", "123456789", "{user1000}.following", "{user1000}.followers", "foo{}{bar}",
                                  "foo{{bar}}zap", "foo{bar}{zap}", "{}", "}{x}", "{open", "close}", "vc:site:counter",
                                  "\xff\xfe{\xc3\xa9}"}) {
        EXPECT_EQ(std::to_string(RedisCluster::slot_of(key)), cluster_->run(port, {"CLUSTER", "KEYSLOT", key}))
            << '"' << key << '"';
    }
    const std::string zero("a\0{b}", 5);
    EXPECT_EQ(std::to_string(RedisCluster::slot_of(zero)), cluster_->run(port, {"CLUSTER", "KEYSLOT", zero}));
    // The check value of CRC16/XMODEM, 0x31C3, is below 16384.
    EXPECT_EQ(RedisCluster::slot_of("123456789"), 0x31C3);
    EXPECT_EQ(RedisCluster::slot_of("{user1000}.following"), RedisCluster::slot_of("{user1000}.followers"));
}

TEST_F(RedisClusterTest, ReshardMovesSlots) {
    const std::vector<int> primaries = cluster_->primary_ports();
    ASSERT_EQ(primaries.size(), 3u);
    const int from = primaries[0];
    const int to = primaries[1];
    const std::vector<int> before = cluster_->slots_of(from);
    const std::size_t received = cluster_->slots_of(to).size();

    cluster_->reshard(from, to, 10);
    const std::vector<int> after = cluster_->slots_of(from);
    std::vector<int> moved;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(moved));
    ASSERT_EQ(moved.size(), 10u);
    for (int slot : moved) EXPECT_EQ(cluster_->owner_of(slot), to) << slot;
    EXPECT_EQ(cluster_->slots_of(to).size(), received + 10);

    // Ten slots back as a job the test collects (redis-cli picks which),
    // with a key planted in a moved slot: it stays readable at its owner.
    std::string key;
    for (int i = 0; key.empty() && i < 1000000; ++i) {
        const std::string k = "k" + std::to_string(i);
        if (std::binary_search(moved.begin(), moved.end(), RedisCluster::slot_of(k))) key = k;
    }
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(cluster_->run_at(key, {"SET", key, "1"}), "OK");
    RedisCluster::Job back = cluster_->reshard_start(to, from, 10);
    const RunResult r = back.finish(std::chrono::seconds(60));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(cluster_->settle());
    EXPECT_EQ(cluster_->slots_of(from).size(), before.size());
    EXPECT_EQ(cluster_->slots_of(to).size(), received);
    EXPECT_EQ(cluster_->run_at(key, {"GET", key}), "1");
}

TEST_F(RedisClusterTest, FailoverPromotesReplica) {
    const int slot = RedisCluster::slot_of("failover");
    const int old_primary = cluster_->owner_of(slot);
    const std::vector<int> replicas = cluster_->replica_ports();
    cluster_->fail_primary(old_primary);
    const auto took = cluster_->wait_failover(old_primary);
    RecordProperty("failover_ms", std::to_string(took.count()));

    const int new_primary = cluster_->owner_of(slot);
    EXPECT_NE(new_primary, old_primary);
    EXPECT_TRUE(std::count(replicas.begin(), replicas.end(), new_primary)) << new_primary;
    EXPECT_EQ(cluster_->primary_ports().size(), 3u);
    EXPECT_EQ(cluster_->addresses().find(std::to_string(old_primary)), std::string::npos);

    // The old primary comes back as its successor's replica.
    cluster_->restart(old_primary);
    const std::vector<int> now = cluster_->replica_ports();
    EXPECT_TRUE(std::count(now.begin(), now.end(), old_primary)) << old_primary;
    EXPECT_EQ(now.size(), 3u);
}

}  // namespace
}  // namespace vorn::test
