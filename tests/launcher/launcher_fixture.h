#pragma once

// Launcher folders made at test time: the front-page picture and a help
// document drawn on the spot, never files checked in.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QString>
#include <QTemporaryDir>

namespace talvex::test {

inline QString pathIn(const QTemporaryDir& dir, const QString& name)
{
    return QDir(dir.path()).filePath(name);
}

inline bool writeFrontPage(const QString& folder)
{
    QImage picture(64, 40, QImage::Format_RGB32);
    picture.fill(QColor(40, 90, 60));
    return picture.save(QDir(folder).filePath(QStringLiteral("front page of sw.jpg")), "JPEG");
}

inline bool writePdf(const QString& path, int pages)
{
    QPdfWriter writer(path);
    QPainter painter(&writer);
    for (int page = 1; page <= pages; ++page) {
        if (page > 1)
            writer.newPage();
        painter.drawText(200, 400, QStringLiteral("Help page %1").arg(page));
    }
    return painter.end();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace talvex::test
