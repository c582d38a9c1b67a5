// Icon files found in themes and pixmaps, and rendered to the requested size.

#include "explorer/IconExtractor.h"
#include "explorer/IconThemeLookup.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QByteArray kSvgWithText =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE svg [<!ENTITY c \"#00ff00\">]>\n"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"32\" viewBox=\"0 0 64 32\">"
    "<g font-family=\"Sans\"><rect width=\"64\" height=\"32\" fill=\"&c;\"/>"
    "<text x=\"2\" y=\"20\" font-size=\"12\">Kest<tspan>!</tspan></text></g></svg>";
} // namespace

class IconThemeLookupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_data.writeHicolorTheme();
        m_icons = m_data.dataDir() + "/icons";
        m_pixmaps = m_data.dataDir() + "/pixmaps";
    }
    ExplorerTestData m_data;
    QString m_icons;
    QString m_pixmaps;
};

TEST_F(IconThemeLookupTest, PicksSmallestAtOrAboveTheSizeElseLargestBelow)
{
    const QString s16 = m_data.writeThemePng("app", 16, 0xff0000ff);
    const QString s48 = m_data.writeThemePng("app", 48, 0xff00ff00);
    const QString s256 = m_data.writeThemePng("app", 256, 0xffff0000);
    IconThemeLookup lookup({m_icons}, {});
    EXPECT_EQ(lookup.find("app", 16), s16);
    EXPECT_EQ(lookup.find("app", 17), s48);
    EXPECT_EQ(lookup.find("app", 48), s48);
    EXPECT_EQ(lookup.find("app", 49), s256);
    EXPECT_EQ(lookup.find("app", 300), s256);
    EXPECT_EQ(lookup.find("app.png", 48), s48) << "an extension in the Icon key is tolerated";
    EXPECT_EQ(lookup.find("missing", 48), "");
    EXPECT_EQ(lookup.find("../app", 48), "");
}

TEST_F(IconThemeLookupTest, ScalableBeatsLargerRasterButNotExactOne)
{
    const QString s48 = m_data.writeThemePng("vec", 48, 0xff00ff00);
    m_data.writeThemePng("vec", 256, 0xffff0000);
    const QString svg = m_data.writeThemeSvg("vec", kSvgWithText);
    IconThemeLookup lookup({m_icons}, {});
    EXPECT_EQ(lookup.find("vec", 48), s48);
    EXPECT_EQ(lookup.find("vec", 64), svg);
}

TEST_F(IconThemeLookupTest, HicolorFirstThenOtherThemesThenPixmaps)
{
    const QString other = m_icons + "/Zeta";
    ExplorerTestData::writeFile(other + "/index.theme",
                                "[Icon Theme]\nName=Zeta\nDirectories=32/apps\n[32/apps]\nSize=32\n");
    ExplorerTestData::writeFile(other + "/32/apps/both.png", ExplorerTestData::pngBytes(32, 32, 0xff000000));
    ExplorerTestData::writeFile(other + "/32/apps/zonly.png", ExplorerTestData::pngBytes(32, 32, 0xff000000));
    const QString hicolor = m_data.writeThemePng("both", 16, 0xff00ff00);
    const QString pixmap = m_pixmaps + "/legacy.xpm";
    ExplorerTestData::writeFile(pixmap, "/* XPM */\nstatic char *x[] = {\"1 1 1 1\", \"a c #ff0000\", \"a\"};\n");
    IconThemeLookup lookup({m_icons}, {m_pixmaps});
    EXPECT_EQ(lookup.find("both", 32), hicolor) << "hicolor decides before any other theme";
    EXPECT_EQ(lookup.find("zonly", 32), other + "/32/apps/zonly.png");
    EXPECT_EQ(lookup.find("legacy", 32), pixmap);
    EXPECT_EQ(lookup.find("legacy.xpm", 32), pixmap);
}

TEST_F(IconThemeLookupTest, NewIconsAppearAfterInvalidate)
{
    IconThemeLookup lookup({m_icons}, {});
    EXPECT_EQ(lookup.find("later", 48), "");
    const QString file = m_data.writeThemePng("later", 48, 0xff00ff00);
    EXPECT_EQ(lookup.find("later", 48), "") << "the theme index is kept between lookups";
    lookup.invalidate();
    EXPECT_EQ(lookup.find("later", 48), file);
}

TEST(IconRendering, ScalesPngXpmAndSvgToTheRequestedSquare)
{
    const QImage png = IconExtractor::renderImage(ExplorerTestData::pngBytes(256, 128, 0xffff0000), 32);
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(png.pixel(16, 2)), 0) << "a wide image is centred on transparency";
    EXPECT_EQ(QColor(png.pixel(16, 16)).red(), 255);

    const QImage xpm = IconExtractor::renderImage(
        "/* XPM */\nstatic char *x[] = {\"2 2 1 1\", \"a c #0000ff\", \"aa\", \"aa\"};\n", 16);
    ASSERT_FALSE(xpm.isNull());
    EXPECT_EQ(xpm.size(), QSize(16, 16));
    EXPECT_EQ(QColor(xpm.pixel(8, 8)).blue(), 255);

    // Text needs the font database, which a daemon without a GUI application
    // lacks: rendering it would abort the whole process.
    const QImage svg = IconExtractor::renderImage(kSvgWithText, 48);
    ASSERT_FALSE(svg.isNull());
    EXPECT_EQ(svg.size(), QSize(48, 48));
    EXPECT_EQ(QColor(svg.pixel(24, 24)).green(), 255);
}

TEST(IconRendering, SvgImagesOnlyFromEmbeddedRasterData)
{
    ExplorerTestData data;
    const QString outside = data.root() + "/private.png";
    ExplorerTestData::writeFile(outside, ExplorerTestData::pngBytes(8, 8, 0xffff0000));
    const QByteArray embeddedPng = ExplorerTestData::pngBytes(8, 8, 0xff00ff00).toBase64();
    const QByteArray nestedSvg = kSvgWithText.toBase64();
    const QByteArray svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"30\" height=\"10\">"
        "<image x=\"0\" y=\"0\" width=\"10\" height=\"10\" xlink:href=\"" + QFile::encodeName(outside) + "\"/>"
        "<image x=\"10\" y=\"0\" width=\"10\" height=\"10\" xlink:href=\"data:image/png;base64," + embeddedPng + "\"/>"
        "<image x=\"20\" y=\"0\" width=\"10\" height=\"10\" href=\"data:image/png;base64," + nestedSvg + "\"/></svg>";
    const QImage image = IconExtractor::renderImage(svg, 30);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(qAlpha(image.pixel(5, 15)), 0) << "a file named by the SVG is not read";
    EXPECT_EQ(QColor(image.pixel(15, 15)).green(), 255) << "an embedded PNG is drawn";
    EXPECT_EQ(qAlpha(image.pixel(25, 15)), 0) << "embedded SVG (with text) is dropped";
}

TEST(IconRendering, RejectsWhatIsNoImage)
{
    EXPECT_TRUE(IconExtractor::renderImage("", 32).isNull());
    EXPECT_TRUE(IconExtractor::renderImage("not an image at all", 32).isNull());
    EXPECT_TRUE(IconExtractor::renderImage("<svg xmlns='http://www.w3.org/2000/svg'><rect", 32).isNull());
    EXPECT_TRUE(IconExtractor::renderImage(ExplorerTestData::pngBytes(32, 32, 0xff000000).left(40), 32).isNull());
    EXPECT_TRUE(IconExtractor::renderIconFile("/nonexistent/icon.png", 32).isEmpty());
    EXPECT_TRUE(IconExtractor::renderIconFile("/dev/zero", 32).isEmpty());
}

TEST(IconRendering, DamagedFilesGiveAnIconOrNothingButNeverCrash)
{
    // Icon files come from anywhere on the machine, users' homes included.
    const QByteArray seeds[] = {
        ExplorerTestData::pngBytes(40, 24, 0xff336699), kSvgWithText,
        "/* XPM */\nstatic char *x[] = {\"3 2 2 1\", \"a c #0000ff\", \"b c None\", \"aba\", \"bab\"};\n"};
    QRandomGenerator rng(7);
    for (const QByteArray &seed : seeds) {
        for (int i = 0; i < 300; ++i) {
            QByteArray bytes = seed;
            const int edits = 1 + int(rng.bounded(4));
            for (int e = 0; e < edits; ++e) {
                const int at = int(rng.bounded(bytes.size()));
                switch (rng.bounded(3)) {
                case 0: bytes[at] = char(rng.bounded(256)); break;
                case 1: bytes.truncate(at); break;
                default: bytes.insert(at, bytes.mid(int(rng.bounded(bytes.size() + 1)), 16)); break;
                }
                if (bytes.isEmpty())
                    break;
            }
            const QImage image = IconExtractor::renderImage(bytes, 24);
            EXPECT_TRUE(image.isNull() || image.size() == QSize(24, 24));
        }
    }
}

class IconExtractorTest : public ::testing::Test
{
protected:
    void SetUp() override { m_data.writeHicolorTheme(); }
    ExplorerTestData m_data;
};

TEST_F(IconExtractorTest, ProgramWithDesktopEntryGetsItsThemeIconAsPng)
{
    const QString prog = m_data.copyProgram("kest-icon-prog");
    m_data.writeDesktopEntry("kest-icon-prog", "Exec=" + prog + "\nIcon=kest-icon-prog");
    m_data.writeThemePng("kest-icon-prog", 256, 0xff00ff00);
    IconExtractor extractor({m_data.dataDir()});
    for (int edge : {16, 32, 256}) {
        const QImage icon = ExplorerTestData::decodeIcon(extractor.extract(prog, edge));
        ASSERT_FALSE(icon.isNull()) << edge;
        EXPECT_EQ(icon.size(), QSize(edge, edge));
        EXPECT_EQ(QColor(icon.pixel(edge / 2, edge / 2)).green(), 255);
    }
    EXPECT_EQ(extractor.extract("/usr/bin/kest-no-entry", 32), "");
    EXPECT_EQ(extractor.extract("", 32), "");
    EXPECT_EQ(extractor.extract(":/resource", 32), "");
}

TEST_F(IconExtractorTest, AbsoluteIconPathAndMissingIconFile)
{
    const QString file = m_data.root() + "/art/abs.png";
    ExplorerTestData::writeFile(file, ExplorerTestData::pngBytes(20, 20, 0xff0000ff));
    m_data.writeDesktopEntry("abs", "Exec=/opt/kest-abs\nIcon=" + file);
    m_data.writeDesktopEntry("dangling", "Exec=/opt/kest-dangling\nIcon=kest-no-such-icon");
    IconExtractor extractor({m_data.dataDir()});
    EXPECT_EQ(ExplorerTestData::decodeIcon(extractor.extract("/opt/kest-abs", 24)).size(), QSize(24, 24));
    EXPECT_EQ(extractor.extract("/opt/kest-dangling", 24), "");
}

TEST_F(IconExtractorTest, EntryAddedLaterIsFoundAfterRefresh)
{
    IconExtractor extractor({m_data.dataDir()});
    EXPECT_EQ(extractor.extract("/opt/kest-late", 32), "");
    m_data.writeDesktopEntry("late", "Exec=/opt/kest-late\nIcon=late");
    m_data.writeThemePng("late", 48, 0xff00ff00);
    extractor.refresh();
    EXPECT_FALSE(extractor.extract("/opt/kest-late", 32).isEmpty())
        << "a changed applications directory also re-reads the icon themes";
}
