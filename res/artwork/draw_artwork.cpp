// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-artwork: draws the program's icon and banner with QPainter and writes them as the image
// files that res/korvane.qrc and res/korvane.rc hold.
//   korvane-artwork OUTDIR
// writes icon_16.png, icon_32.png, icon_48.png, icon_128.png, korvane.ico (the same four images)
// and banner.bmp (566 x 144, 24 bits per pixel, uncompressed).
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtEndian>
#include <cstdio>

namespace {

const QColor kNavy(0x12, 0x2a, 0x4a);
const QColor kTeal(0x1f, 0x7a, 0x8c);
const QColor kRecordRed(0xe0, 0x3a, 0x3a);

QFont Bold(qreal pixel_size) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setBold(true);
  font.setPixelSize(qMax(1, qRound(pixel_size)));
  return font;
}

// A rounded tile with a white "K" and a red recording dot.
QImage DrawIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  const qreal s = size;
  const QRectF tile(s * 0.03, s * 0.03, s * 0.94, s * 0.94);
  QLinearGradient fill(tile.topLeft(), tile.bottomRight());
  fill.setColorAt(0, kTeal);
  fill.setColorAt(1, kNavy);
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(tile, s * 0.2, s * 0.2);

  // The letter, drawn as strokes so it stays crisp at 16 pixels.
  QPen pen(Qt::white, qMax<qreal>(1.6, s * 0.13), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  const qreal left = s * 0.30, top = s * 0.24, bottom = s * 0.76, right = s * 0.66;
  const qreal middle = (top + bottom) / 2;
  p.drawLine(QPointF(left, top), QPointF(left, bottom));
  p.drawLine(QPointF(left + pen.widthF() * 0.4, middle), QPointF(right, top));
  p.drawLine(QPointF(left + s * 0.12, middle - s * 0.06), QPointF(right, bottom));

  const qreal dot = qMax<qreal>(3, s * 0.2);
  p.setPen(Qt::NoPen);
  p.setBrush(kRecordRed);
  p.drawEllipse(QRectF(s * 0.92 - dot, s * 0.08, dot, dot));
  return image;
}

// The banner: the name, a line saying what the program does, and a strip of frames on a timeline
// with one recording picked out.
QImage DrawBanner() {
  const int w = 566, h = 144;
  QImage image(w, h, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QLinearGradient back(0, 0, w, h);
  back.setColorAt(0, kNavy);
  back.setColorAt(1, kTeal);
  p.fillRect(image.rect(), back);

  // Frames along a timeline, right half.
  const qreal strip_y = 84, frame_w = 18, frame_h = 26, gap = 5;
  for (int i = 0; i < 11; ++i) {
    const qreal x = 300 + i * (frame_w + gap);
    const bool picked = i >= 4 && i <= 8;
    p.setPen(Qt::NoPen);
    p.setBrush(picked ? QColor(255, 255, 255, 235) : QColor(255, 255, 255, 70));
    p.drawRoundedRect(QRectF(x, strip_y, frame_w, frame_h), 3, 3);
  }
  QPen bracket(kRecordRed, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(bracket);
  p.setBrush(Qt::NoBrush);
  const qreal bx0 = 300 + 4 * (frame_w + gap) - 4, bx1 = 300 + 8 * (frame_w + gap) + frame_w + 4;
  p.drawRoundedRect(QRectF(bx0, strip_y - 6, bx1 - bx0, frame_h + 12), 6, 6);
  p.setPen(QPen(QColor(255, 255, 255, 140), 2));
  p.drawLine(QPointF(296, strip_y + frame_h + 16), QPointF(w - 14, strip_y + frame_h + 16));
  for (int i = 0; i <= 11; ++i) {
    const qreal x = 300 + i * (frame_w + gap) - gap / 2;
    p.drawLine(QPointF(x, strip_y + frame_h + 12), QPointF(x, strip_y + frame_h + 20));
  }

  // A magnifying glass over the strip.
  const QPointF lens(452, 38);
  QRadialGradient glass(lens, 26);
  glass.setColorAt(0, QColor(255, 255, 255, 60));
  glass.setColorAt(1, QColor(255, 255, 255, 15));
  p.setBrush(glass);
  p.setPen(QPen(Qt::white, 5));
  p.drawEllipse(lens, 26, 26);
  p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(lens + QPointF(19, 19), lens + QPointF(34, 34));

  // The name and the line under it.
  p.setPen(Qt::white);
  p.setFont(Bold(52));
  p.drawText(QRectF(28, 18, 300, 70), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Korvane"));
  QFont small = Bold(15);
  small.setBold(false);
  p.setFont(small);
  p.setPen(QColor(255, 255, 255, 210));
  p.drawText(QRectF(32, 88, 260, 24), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Finds DVR recordings on raw disks"));
  p.drawText(QRectF(32, 110, 260, 22), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("and disk images"));
  return image;
}

bool Save(const QImage& image, const QString& path, const char* format) {
  if (image.save(path, format)) return true;
  std::fprintf(stderr, "korvane-artwork: cannot write %s\n", qPrintable(path));
  return false;
}

// An icon file holding PNG-compressed images, one directory entry each.
bool SaveIco(const QList<QImage>& images, const QString& path) {
  QList<QByteArray> pngs;
  for (const QImage& image : images) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return false;
    pngs.append(png);
  }
  QByteArray out;
  auto put16 = [&](quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
  auto put32 = [&](quint32 v) { put16(quint16(v & 0xffff)), put16(quint16(v >> 16)); };
  put16(0);  // reserved
  put16(1);  // icon
  put16(quint16(images.size()));
  quint32 offset = 6 + 16 * quint32(images.size());
  for (int i = 0; i < images.size(); ++i) {
    const int size = images[i].width();
    out.append(char(size >= 256 ? 0 : size)).append(char(size >= 256 ? 0 : size));
    out.append(char(0)).append(char(0));  // no palette, reserved
    put16(1);                             // planes
    put16(32);                            // bits per pixel
    put32(quint32(pngs[i].size()));
    put32(offset);
    offset += quint32(pngs[i].size());
  }
  for (const QByteArray& png : pngs) out.append(png);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size()) {
    std::fprintf(stderr, "korvane-artwork: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: korvane-artwork OUTDIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QList<QImage> icons;
  bool ok = true;
  for (int size : {16, 32, 48, 128}) {
    icons.append(DrawIcon(size));
    ok &= Save(icons.back(), out.filePath(QStringLiteral("icon_%1.png").arg(size)), "PNG");
  }
  ok &= SaveIco(icons, out.filePath(QStringLiteral("korvane.ico")));
  ok &= Save(DrawBanner(), out.filePath(QStringLiteral("banner.bmp")), "BMP");
  return ok ? 0 : 1;
}
