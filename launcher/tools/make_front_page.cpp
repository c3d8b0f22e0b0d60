// Build-time tool: draws the launcher's front-page picture and its window
// icon from the example scene, a false-colour view with near infrared, red
// and green (bands 4, 3, 2) as red, green and blue, and the program's name.
//
// usage: make_front_page SCENE LINES SAMPLES front-page|icon OUTPUT

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRect>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int BAND_COUNT = 4;
// Positions of bands 4, 3 and 2 in the band-sequential file (bands 2..5).
constexpr std::array<int, 3> FALSE_COLOUR_BANDS{2, 1, 0};
// Share of the darkest and brightest pixels that the stretch saturates.
constexpr double STRETCH_CLIP = 0.02;

constexpr QSize FRONT_PAGE_SIZE(1600, 1000);
constexpr QSize ICON_SIZE(198, 56);
constexpr int JPEG_QUALITY = 90;

const QColor TITLE_COLOUR(255, 255, 128);
const QColor TEXT_COLOUR(235, 245, 235);

struct Scene {
    int lines = 0;
    int samples = 0;
    std::vector<std::uint16_t> dn; // band-sequential, bands 2..5

    std::uint16_t at(int band, int line, int sample) const
    {
        return dn[(static_cast<std::size_t>(band) * lines + line) * samples + sample];
    }
};

std::optional<Scene> readScene(const QString& path, int lines, int samples)
{
    QFile file(path);
    if (lines <= 0 || samples <= 0 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const qint64 bytes = qint64(2) * BAND_COUNT * lines * samples;
    const QByteArray raw = file.read(bytes);
    if (raw.size() != bytes)
        return std::nullopt;
    Scene scene{lines, samples, std::vector<std::uint16_t>(static_cast<std::size_t>(bytes / 2))};
    for (std::size_t i = 0; i < scene.dn.size(); ++i) {
        const auto low = static_cast<unsigned char>(raw[static_cast<qsizetype>(2 * i)]);
        const auto high = static_cast<unsigned char>(raw[static_cast<qsizetype>(2 * i + 1)]);
        scene.dn[i] = static_cast<std::uint16_t>(low | (high << 8));
    }
    return scene;
}

// The part of the scene that holds data; DN 0 marks the empty border.
QRect dataExtent(const Scene& scene)
{
    QRect extent;
    for (int line = 0; line < scene.lines; ++line)
        for (int sample = 0; sample < scene.samples; ++sample)
            for (int band = 0; band < BAND_COUNT; ++band)
                if (scene.at(band, line, sample) != 0) {
                    extent |= QRect(sample, line, 1, 1);
                    break;
                }
    return extent;
}

// Linear stretch between the low and high percentiles of the data pixels.
std::pair<double, double> stretchRange(const Scene& scene, int band, const QRect& extent)
{
    std::vector<std::uint16_t> values;
    for (int line = extent.top(); line <= extent.bottom(); ++line)
        for (int sample = extent.left(); sample <= extent.right(); ++sample)
            if (const auto dn = scene.at(band, line, sample); dn != 0)
                values.push_back(dn);
    if (values.empty())
        return {0.0, 1.0};
    std::sort(values.begin(), values.end());
    const auto pick = [&](double share) {
        return double(values[static_cast<std::size_t>(share * double(values.size() - 1))]);
    };
    const double low = pick(STRETCH_CLIP);
    const double high = pick(1.0 - STRETCH_CLIP);
    return {low, high > low ? high : low + 1.0};
}

QImage falseColour(const Scene& scene)
{
    const QRect extent = dataExtent(scene);
    if (extent.isEmpty())
        return {};
    std::array<std::pair<double, double>, 3> ranges;
    for (std::size_t c = 0; c < ranges.size(); ++c)
        ranges[c] = stretchRange(scene, FALSE_COLOUR_BANDS[c], extent);

    QImage image(extent.size(), QImage::Format_RGB32);
    for (int line = extent.top(); line <= extent.bottom(); ++line) {
        for (int sample = extent.left(); sample <= extent.right(); ++sample) {
            std::array<int, 3> rgb{};
            for (std::size_t c = 0; c < rgb.size(); ++c) {
                const auto [low, high] = ranges[c];
                const double dn = scene.at(FALSE_COLOUR_BANDS[c], line, sample);
                rgb[c] = std::clamp(int(255.0 * (dn - low) / (high - low) + 0.5), 0, 255);
            }
            image.setPixel(sample - extent.left(), line - extent.top(),
                           qRgb(rgb[0], rgb[1], rgb[2]));
        }
    }
    return image;
}

// The scene scaled to cover the whole canvas, centred.
void drawCovering(QPainter& painter, const QImage& scene, const QSize& canvas)
{
    const QImage scaled =
        scene.scaled(canvas, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    painter.drawImage(
        QPoint((canvas.width() - scaled.width()) / 2, (canvas.height() - scaled.height()) / 2),
        scaled);
}

// Text with a soft dark edge so that it reads on any part of the scene.
void drawOutlinedText(QPainter& painter, const QPointF& baseline, const QFont& font,
                      const QString& text, const QColor& colour, qreal edge)
{
    QPainterPath path;
    path.addText(baseline, font, text);
    painter.setPen(QPen(QColor(0, 0, 0, 160), edge, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(path);
}

QFont serifFont(int pixels, bool bold)
{
    QFont font(QStringLiteral("Times New Roman"));
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                      QStringLiteral("Nimbus Roman")});
    font.setStyleHint(QFont::Serif);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QImage frontPage(const QImage& scene)
{
    QImage page(FRONT_PAGE_SIZE, QImage::Format_RGB32);
    QPainter painter(&page);
    painter.setRenderHint(QPainter::Antialiasing);
    drawCovering(painter, scene, FRONT_PAGE_SIZE);

    // Darken the scene so that the pale captions of the window stand out,
    // most of all at the top, where the title goes.
    QLinearGradient shade(0, 0, 0, FRONT_PAGE_SIZE.height());
    shade.setColorAt(0.0, QColor(0, 0, 0, 215));
    shade.setColorAt(0.25, QColor(0, 0, 0, 150));
    shade.setColorAt(1.0, QColor(0, 0, 0, 120));
    painter.fillRect(page.rect(), shade);

    const int h = FRONT_PAGE_SIZE.height();
    // The title keeps clear of the small box at the window's left edge.
    const int margin = FRONT_PAGE_SIZE.width() / 16;
    drawOutlinedText(painter, QPointF(margin, h * 0.125), serifFont(h / 9, true),
                     QStringLiteral("TALVEX"), TITLE_COLOUR, 6);
    drawOutlinedText(painter, QPointF(margin, h * 0.175), serifFont(h / 30, false),
                     QStringLiteral("Top-of-atmosphere and surface reflectance "
                                    "for four-band satellite images"),
                     TEXT_COLOUR, 4);
    const QFont noteFont = serifFont(h / 48, false);
    const QString note = QStringLiteral("Example scene in false colour: "
                                        "near infrared, red and green as red, green and blue");
    const qreal noteWidth = QFontMetricsF(noteFont).horizontalAdvance(note);
    drawOutlinedText(painter, QPointF(FRONT_PAGE_SIZE.width() - margin - noteWidth, h * 0.965),
                     noteFont, note, TEXT_COLOUR, 3);
    return page;
}

QImage windowIcon(const QImage& scene)
{
    QImage icon(ICON_SIZE, QImage::Format_RGB32);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    drawCovering(painter, scene, ICON_SIZE);
    painter.fillRect(icon.rect(), QColor(0, 0, 0, 110));
    const QFont font = serifFont(ICON_SIZE.height() * 3 / 5, true);
    const QString name = QStringLiteral("TALVEX");
    const QFontMetricsF metrics(font);
    const QPointF baseline((ICON_SIZE.width() - metrics.horizontalAdvance(name)) / 2,
                           (ICON_SIZE.height() + metrics.capHeight()) / 2);
    drawOutlinedText(painter, baseline, font, name, TITLE_COLOUR, 3);
    painter.end();
    return icon.convertToFormat(QImage::Format_RGB888);
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString kind = args.value(4);
    if (args.size() != 6
        || (kind != QLatin1String("front-page") && kind != QLatin1String("icon"))) {
        std::fprintf(stderr, "usage: make_front_page SCENE LINES SAMPLES front-page|icon OUTPUT\n");
        return 2;
    }
    const auto scene = readScene(args[1], args[2].toInt(), args[3].toInt());
    if (!scene) {
        std::fprintf(stderr, "make_front_page: cannot read the scene %s\n", qPrintable(args[1]));
        return 1;
    }
    const QImage view = falseColour(*scene);
    if (view.isNull()) {
        std::fprintf(stderr, "make_front_page: the scene holds no data\n");
        return 1;
    }
    const bool saved = kind == QLatin1String("icon")
                           ? windowIcon(view).save(args[5], "PNG")
                           : frontPage(view).save(args[5], "JPEG", JPEG_QUALITY);
    if (!saved) {
        std::fprintf(stderr, "make_front_page: cannot write %s\n", qPrintable(args[5]));
        return 1;
    }
    return 0;
}
