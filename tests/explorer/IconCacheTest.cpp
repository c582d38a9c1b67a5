// The icon cache: keys, least-recently-used pruning, cached failures.

#include "explorer/IconCache.h"
#include "explorer/IconExtractor.h"
#include "explorer/ProcessExplorerWorker.h"
#include "tests/explorer/ExplorerTestData.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(IconCacheKey, IsTheLexicalNormalFormWithCaseKept)
{
    EXPECT_EQ(IconCache::keyFor(""), "");
    EXPECT_EQ(IconCache::keyFor("/usr//bin/./app"), "/usr/bin/app");
    EXPECT_EQ(IconCache::keyFor("/opt/App/../App/./APP"), "/opt/App/APP");
    EXPECT_EQ(IconCache::keyFor("/../x"), "/x");
    EXPECT_EQ(IconCache::keyFor("a/b/.."), "a/");
    EXPECT_EQ(IconCache::keyFor("/a/b/../"), "/a/");
    EXPECT_EQ(IconCache::keyFor("/a/../.."), "/");
    EXPECT_EQ(IconCache::keyFor("a/.."), ".");
    EXPECT_EQ(IconCache::keyFor("../../x"), "../../x");
    EXPECT_NE(IconCache::keyFor("/usr/bin/App"), IconCache::keyFor("/usr/bin/app"));
    EXPECT_NE(IconCache::keyFor("/usr/bin/a\\b"), IconCache::keyFor("/usr/bin/a/b")) << "\\ is a file-name character";
}

TEST(IconCacheKey, ShortcutForNormalPathsAgreesWithTheFullNormalForm)
{
    const char *paths[] = {"/", "/usr/bin/app", "/usr/bin/app/", "/usr//bin", "/usr/bin/.", "/usr/bin/..",
                           "/.hidden/x", "/x/..y/z", "/x/y../z", "//x", "/x/./", "/a b/c"};
    for (const char *p : paths) {
        const std::string normal = std::filesystem::path(p).lexically_normal().native();
        EXPECT_EQ(IconCache::keyFor(p).toStdString(), normal) << p;
    }
}

TEST(IconCache, FiveHundredFirstInsertPrunesToTheRecentFourHundredPlusOne)
{
    IconCache cache;
    for (int i = 0; i < IconCache::kCapacity; ++i)
        cache.insert(QStringLiteral("/p/%1").arg(i), QString());
    EXPECT_EQ(cache.size(), 500);
    // Touch the oldest hundred: they become the most recently used.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(cache.lookup(QStringLiteral("/p/%1").arg(i)).has_value());
    cache.insert("/p/new", "icon");
    EXPECT_EQ(cache.size(), 401);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(cache.contains(QStringLiteral("/p/%1").arg(i))) << i;
    for (int i = 100; i < 200; ++i)
        EXPECT_FALSE(cache.contains(QStringLiteral("/p/%1").arg(i))) << i;
    EXPECT_TRUE(cache.contains("/p/499"));
    EXPECT_EQ(cache.lookup("/p/new"), QString("icon"));
    cache.prune(401);
    EXPECT_EQ(cache.size(), 401) << "pruning to at least the size changes nothing";
    cache.prune(10);
    EXPECT_EQ(cache.size(), 10);
}

TEST(IconCache, WorkerCachesFailuresAndSharesEntriesOfEquivalentPaths)
{
    ExplorerTestData data;
    data.writeHicolorTheme();
    ProcessExplorerWorker worker(std::make_unique<IconExtractor>(QStringList{data.dataDir()}));
    EXPECT_EQ(worker.getIcon("/opt/kest-cached"), "");
    EXPECT_EQ(worker.iconCacheSize(), 1) << "a failure is cached";

    data.writeDesktopEntry("cached", "Exec=/opt/kest-cached\nIcon=cached");
    data.writeThemePng("cached", 48, 0xff00ff00);
    worker.takeSnapshot(); // a poll re-reads the changed applications directory
    EXPECT_EQ(worker.getIcon("/opt//kest-cached"), "") << "the cached failure answers for the same normal form";

    worker.clearIconCache();
    EXPECT_EQ(worker.iconCacheSize(), 0);
    const QString icon = worker.getIcon("/opt/kest-cached");
    EXPECT_EQ(ExplorerTestData::decodeIcon(icon).size(), QSize(32, 32));
    EXPECT_EQ(worker.getIcon(""), "");
    EXPECT_EQ(worker.iconCacheSize(), 1) << "an empty path is never cached";
}

TEST(IconCache, WorkerPrunesOnThe501stDistinctPath)
{
    ExplorerTestData data;
    ProcessExplorerWorker worker(std::make_unique<IconExtractor>(QStringList{data.dataDir()}));
    for (int i = 0; i < 500; ++i)
        worker.getIcon(QStringLiteral("/opt/kest-%1").arg(i));
    EXPECT_EQ(worker.iconCacheSize(), 500);
    worker.getIcon("/opt/kest-500");
    EXPECT_EQ(worker.iconCacheSize(), 401);
}
