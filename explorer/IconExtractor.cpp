#include "explorer/IconExtractor.h"

#include "explorer/ExplorerLog.h"
#include "explorer/UserFileAccess.h"
#include "explorer/XdgDataPaths.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <unistd.h>

struct IconExtractor::DataSet
{
    DesktopEntryIndex entries;
    IconThemeLookup icons;
    std::optional<quint32> owner;
};

namespace {

QStringList appended(const QStringList &dirs, const QString &suffix)
{
    QStringList out;
    for (const QString &dir : dirs)
        out.append(dir + suffix);
    return out;
}

// An <image> may embed a raster as a data: URI, which is kept when its bytes
// really are PNG, JPEG or GIF. Anything else is dropped: a file reference
// would have the daemon read (with its rights) and show any image on the
// machine, and embedded SVG would reach Qt's SVG image plugin, text included.
bool safeEmbeddedImage(const QXmlStreamAttributes &attributes)
{
    QStringView href;
    for (const QXmlStreamAttribute &a : attributes) {
        if (a.name() == u"href")
            href = a.value();
    }
    const qsizetype comma = href.indexOf(u',');
    if (!href.startsWith(u"data:") || comma < 0 || !href.first(comma).endsWith(u";base64"))
        return false;
    const QByteArray bytes = QByteArray::fromBase64(href.sliced(comma + 1).toLatin1());
    return bytes.startsWith("\x89PNG\r\n\x1a\n") || bytes.startsWith("\xff\xd8\xff") || bytes.startsWith("GIF8");
}

// Text in an SVG needs the font database, which a daemon without a GUI
// application does not have (Qt aborts the process), so text elements are
// dropped before rendering; icons hardly ever carry text. Unsafe images go
// too. Entities are expanded by the reader (within its limit), so no DTD is
// written back.
QByteArray renderableSvg(const QByteArray &svg)
{
    static const QStringList textElements = {
        QStringLiteral("text"), QStringLiteral("tspan"), QStringLiteral("textPath"), QStringLiteral("tref"),
        QStringLiteral("textArea"), QStringLiteral("flowRoot"), QStringLiteral("flowPara"), QStringLiteral("flowRegion"),
        QStringLiteral("flowDiv"), QStringLiteral("flowSpan")};
    QXmlStreamReader reader(svg);
    QByteArray out;
    QXmlStreamWriter writer(&out);
    int skipDepth = 0;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::Invalid)
            break;
        if (token == QXmlStreamReader::DTD)
            continue;
        if (skipDepth > 0) {
            if (token == QXmlStreamReader::StartElement)
                ++skipDepth;
            else if (token == QXmlStreamReader::EndElement)
                --skipDepth;
            continue;
        }
        if (token == QXmlStreamReader::StartElement) {
            const QString name = reader.name().toString();
            if (textElements.contains(name) || (name == QLatin1String("image") && !safeEmbeddedImage(reader.attributes()))) {
                skipDepth = 1;
                continue;
            }
        }
        writer.writeCurrentToken(reader);
    }
    if (reader.hasError())
        return {};
    return out;
}

QImage renderSvg(const QByteArray &bytes, int edge)
{
    const QByteArray clean = renderableSvg(bytes);
    if (clean.isEmpty())
        return {};
    QSvgRenderer renderer(clean);
    if (!renderer.isValid())
        return {};
    renderer.setAspectRatioMode(Qt::KeepAspectRatio);
    QImage image(edge, edge, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    return image;
}

// Scales into the square, keeping the aspect ratio, centred on transparency.
QImage fitToSquare(const QImage &source, int edge)
{
    const QImage scaled = source.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (scaled.width() == edge && scaled.height() == edge)
        return scaled;
    QImage square(edge, edge, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    painter.drawImage((edge - scaled.width()) / 2, (edge - scaled.height()) / 2, scaled);
    painter.end();
    return square;
}

QString encodePng(const QImage &image)
{
    if (image.isNull())
        return {};
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG"))
        return {};
    return QString::fromLatin1(png.toBase64());
}

} // namespace

IconExtractor::IconExtractor()
    : IconExtractor([] {
          QStringList dirs;
          const QString home = XdgDataPaths::dataHome();
          if (!home.isEmpty())
              dirs.append(home);
          dirs.append(XdgDataPaths::dataDirs());
          return dirs;
      }())
{
}

IconExtractor::IconExtractor(const QStringList &dataDirs)
    : m_system(makeDataSet(dataDirs, std::nullopt)), m_ownUid(quint32(::geteuid()))
{
}

IconExtractor::~IconExtractor() = default;

std::unique_ptr<IconExtractor::DataSet> IconExtractor::makeDataSet(const QStringList &dataDirs,
                                                                    std::optional<quint32> owner)
{
    QStringList iconBases = appended(dataDirs, QStringLiteral("/icons"));
    QStringList pixmaps;
    if (!owner) {
        // Legacy per-user theme directory of the daemon's own user.
        const QString home = qEnvironmentVariable("HOME");
        if (QDir::isAbsolutePath(home))
            iconBases.prepend(QDir::cleanPath(home + QStringLiteral("/.icons")));
        pixmaps = appended(dataDirs, QStringLiteral("/pixmaps"));
        const QString systemPixmaps = QString::fromLatin1(XdgDataPaths::kPixmaps);
        if (!pixmaps.contains(systemPixmaps))
            pixmaps.append(systemPixmaps);
    }
    return std::unique_ptr<DataSet>(new DataSet{
        DesktopEntryIndex(appended(dataDirs, QStringLiteral("/applications")), owner),
        IconThemeLookup(iconBases, pixmaps, owner), owner});
}

IconExtractor::DataSet *IconExtractor::userDataSet(quint32 uid)
{
    if (uid == m_ownUid)
        return nullptr;
    if (auto it = m_users.find(uid); it != m_users.end())
        return it->second.get();
    if (int(m_users.size()) >= kMaxUsers)
        return nullptr;
    const QStringList homes = XdgDataPaths::userDataHomes(uid);
    auto set = homes.isEmpty() ? nullptr : makeDataSet(homes, uid);
    DataSet *raw = set.get();
    m_users.emplace(uid, std::move(set));
    if (raw)
        raw->entries.refreshIfChanged();
    return raw;
}

void IconExtractor::refresh()
{
    m_refreshed = true;
    if (m_system->entries.refreshIfChanged())
        m_system->icons.invalidate();
    for (auto &[uid, set] : m_users) {
        if (set && set->entries.refreshIfChanged())
            set->icons.invalidate();
    }
}

IconExtractor::IconFile IconExtractor::resolveIconFile(const QString &icon, DataSet *user, int edge)
{
    const std::optional<quint32> owner = user ? user->owner : std::nullopt;
    // A user's entry may not point the daemon at files that user cannot
    // read: such a file is read as the user.
    if (icon.startsWith(QLatin1Char('/')))
        return {icon, owner};
    if (user) {
        const QString file = user->icons.find(icon, edge);
        if (!file.isEmpty())
            return {file, owner};
    }
    return {m_system->icons.find(icon, edge), std::nullopt};
}

QString IconExtractor::extract(const QString &path, int edge, std::optional<quint32> owner)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char(':')))
        return {};
    DataSet *user = owner ? userDataSet(*owner) : nullptr;
    QString icon = user ? user->entries.iconFor(path) : QString();
    DataSet *source = icon.isEmpty() ? nullptr : user;
    if (icon.isEmpty()) {
        if (!m_refreshed)
            refresh(); // the first use builds the index
        icon = m_system->entries.iconFor(path);
    }
    if (icon.isEmpty())
        return {};
    const IconFile file = resolveIconFile(icon, source, edge);
    if (file.path.isEmpty()) {
        qCDebug(lcProcessExplorer) << "No icon file for" << icon << "of" << path;
        return {};
    }
    return renderIconFile(file.path, edge, file.owner);
}

QString IconExtractor::renderIconFile(const QString &file, int edge, std::optional<quint32> owner)
{
    const auto bytes = UserFileAccess::readFile(file, kMaxImageBytes, owner);
    if (!bytes) {
        qCDebug(lcProcessExplorer) << "Icon file not readable:" << file;
        return {};
    }
    const QImage image = renderImage(*bytes, edge);
    if (image.isNull())
        qCDebug(lcProcessExplorer) << "Icon file not readable as an image:" << file;
    return encodePng(image);
}

QImage IconExtractor::renderImage(const QByteArray &bytes, int edge)
{
    if (bytes.isEmpty() || edge <= 0)
        return {};
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = QImageReader::imageFormat(&buffer);
    // SVG goes through our own renderer only (the image plugin would render text).
    if (format == "svg" || (format.isEmpty() && bytes.contains("<svg")))
        return renderSvg(bytes, edge);
    static const QList<QByteArray> rasterFormats = {"png", "xpm", "bmp", "jpeg", "gif", "ico"};
    if (!rasterFormats.contains(format))
        return {};
    buffer.seek(0);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxSourceEdge || size.height() > kMaxSourceEdge))
        return {};
    const QImage image = reader.read();
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    return fitToSquare(image, edge);
}
