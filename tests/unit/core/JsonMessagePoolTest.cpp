#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/JsonMessagePool.h"

namespace navorel {
namespace {

TEST(JsonMessagePool, KeepsAtMostOneHundredEmptiedDocumentsOldestFirst) {
    JsonMessagePool pool;
    std::vector<std::unique_ptr<nlohmann::json>> documents;
    for (int i = 0; i < 101; ++i) documents.push_back(pool.AcquireJson());
    *documents[0] = {{"type", "flight_data"}};
    *documents[1] = 42.5;
    const nlohmann::json* oldest = documents[0].get();
    for (auto& document : documents) pool.ReleaseJson(std::move(document));
    pool.ReleaseJson(nullptr);
    EXPECT_EQ(pool.idleDocuments(), 100u);
    const auto first = pool.AcquireJson();
    EXPECT_EQ(first.get(), oldest);
    EXPECT_EQ(*first, nlohmann::json::object());
    EXPECT_EQ(*pool.AcquireJson(), nlohmann::json(0.0));  // a scalar keeps its type
}

TEST(JsonMessagePool, ConcurrentAcquireAndReleaseStayBounded) {
    JsonMessagePool pool;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool] {
            for (int i = 0; i < 500; ++i) {
                auto document = pool.AcquireJson();
                *document = {{"i", i}};
                pool.ReleaseJson(std::move(document));
                pool.ReleaseString(pool.AcquireString());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(pool.idleDocuments(), 100u);
    EXPECT_LE(pool.idleStrings(), 100u);
}

}  // namespace
}  // namespace navorel
