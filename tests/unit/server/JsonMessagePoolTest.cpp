#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/JsonMessagePool.h"

namespace navorel {
namespace {

TEST(JsonMessagePool, KeepsAtMostOneHundredIdleDocuments) {
    JsonMessagePool pool;
    std::vector<std::unique_ptr<nlohmann::json>> documents;
    for (int i = 0; i < 101; ++i) documents.push_back(pool.AcquireJson());
    for (auto& document : documents) pool.ReleaseJson(std::move(document));
    EXPECT_EQ(pool.idleDocuments(), 100u);

    std::vector<std::unique_ptr<std::string>> texts;
    for (int i = 0; i < 101; ++i) texts.push_back(pool.AcquireString());
    for (auto& text : texts) pool.ReleaseString(std::move(text));
    EXPECT_EQ(pool.idleStrings(), 100u);
}

TEST(JsonMessagePool, ResetKeepsTheTypeOfScalars) {
    JsonMessagePool pool;
    auto number = pool.AcquireJson();
    *number = 42.5;
    auto flag = pool.AcquireJson();
    *flag = true;
    auto text = pool.AcquireJson();
    *text = "x";
    pool.ReleaseJson(std::move(number));
    pool.ReleaseJson(std::move(flag));
    pool.ReleaseJson(std::move(text));
    EXPECT_EQ(*pool.AcquireJson(), nlohmann::json(0.0));
    EXPECT_EQ(*pool.AcquireJson(), nlohmann::json(false));
    EXPECT_EQ(*pool.AcquireJson(), nlohmann::json(""));
    // Nothing idle left: a fresh document holds null.
    EXPECT_TRUE(pool.AcquireJson()->is_null());
}

TEST(JsonMessagePool, NullReleasesAreIgnored) {
    JsonMessagePool pool;
    pool.ReleaseJson(nullptr);
    pool.ReleaseString(nullptr);
    EXPECT_EQ(pool.idleDocuments(), 0u);
    EXPECT_EQ(pool.idleStrings(), 0u);
}

TEST(JsonMessagePool, ReleasedDocumentsComeBackEmptyOfTheSameTypeOldestFirst) {
    JsonMessagePool pool;
    auto fresh = pool.AcquireJson();
    EXPECT_TRUE(fresh->is_null());

    auto object = pool.AcquireJson();
    *object = {{"type", "flight_data"}, {"altitude", 1000}};
    const nlohmann::json* firstAddress = object.get();
    auto array = pool.AcquireJson();
    *array = nlohmann::json::array({1, 2, 3});
    pool.ReleaseJson(std::move(object));
    pool.ReleaseJson(std::move(array));

    auto first = pool.AcquireJson();
    EXPECT_EQ(first.get(), firstAddress);
    EXPECT_TRUE(first->is_object());
    EXPECT_TRUE(first->empty());
    auto second = pool.AcquireJson();
    EXPECT_TRUE(second->is_array());
    EXPECT_TRUE(second->empty());

    auto text = pool.AcquireString();
    *text = "payload";
    pool.ReleaseString(std::move(text));
    EXPECT_TRUE(pool.AcquireString()->empty());
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
    EXPECT_GE(pool.idleDocuments(), 1u);
}

}  // namespace
}  // namespace navorel
