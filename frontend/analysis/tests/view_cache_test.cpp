// The view cache: hits for the same file state and request, misses after the
// file changed, and the byte budget.
#include "view_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using analysis::FileStamp;
using analysis::SignalView;
using analysis::ViewCache;
using analysis::ViewRequest;

namespace {

SignalView ViewOfBytes(std::size_t bytes, int marker) {
    SignalView view;
    view.spectrogram.assign(bytes, 0);
    view.columns = marker;
    return view;
}

}  // namespace

TEST(analysis_view_cache, KeepsViewsPerFileStateAndRequest) {
    ViewCache cache(1 << 20);
    const FileStamp first{100, 1};
    const ViewRequest whole{0.0, -1.0, 800, 128};
    ViewRequest zoomed = whole;
    zoomed.from_s = 1.0;
    cache.add("/a.wav", first, whole, ViewOfBytes(10, 1));
    cache.add("/a.wav", first, zoomed, ViewOfBytes(10, 2));
    ASSERT_TRUE(cache.find("/a.wav", first, whole));
    EXPECT_EQ(cache.find("/a.wav", first, whole)->columns, 1);
    EXPECT_EQ(cache.find("/a.wav", first, zoomed)->columns, 2);
    EXPECT_FALSE(cache.find("/b.wav", first, whole));
    // The file changed (size or time): its old views are not answered, and
    // they are dropped once a view of the new state is kept.
    const FileStamp second{100, 2};
    EXPECT_FALSE(cache.find("/a.wav", second, whole));
    cache.add("/a.wav", second, whole, ViewOfBytes(10, 3));
    EXPECT_FALSE(cache.find("/a.wav", first, zoomed));
    EXPECT_EQ(cache.find("/a.wav", second, whole)->columns, 3);
}

TEST(analysis_view_cache, StaysWithinItsBudget) {
    ViewCache cache(3000 + 3 * sizeof(SignalView));
    const FileStamp stamp{1, 1};
    for (int i = 0; i < 5; ++i)
        cache.add("/f" + std::to_string(i), stamp, {}, ViewOfBytes(1000, i));
    EXPECT_LE(cache.size_bytes(), 3000 + 3 * sizeof(SignalView));
    EXPECT_FALSE(cache.find("/f0", stamp, {}));
    EXPECT_TRUE(cache.find("/f4", stamp, {}));
    // A view larger than the whole budget is not kept.
    cache.add("/huge", stamp, {}, ViewOfBytes(1 << 20, 9));
    EXPECT_FALSE(cache.find("/huge", stamp, {}));
}

TEST(analysis_view_cache, StampFollowsTheFile) {
    const auto path =
        std::filesystem::temp_directory_path() / ("taloria-stamp-" + std::to_string(::getpid()));
    { std::ofstream(path) << "abc"; }
    const auto before = analysis::StampOf(path.string());
    ASSERT_TRUE(before);
    EXPECT_EQ(before->size_bytes, 3u);
    { std::ofstream(path, std::ios::app) << "d"; }
    EXPECT_FALSE(*analysis::StampOf(path.string()) == *before);
    std::filesystem::remove(path);
    EXPECT_FALSE(analysis::StampOf(path.string()));
}
