// Draws the five register pictures of the status control as 155 x 155 JPEG
// files into the directory given on the command line. Run by hand when a
// picture is to change; the build only compiles it. The lower right corner
// stays white: the control draws its connection lamp there.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <cstdio>

namespace {

constexpr int Side = 155;
const QColor Outline(40, 40, 40);
const QColor Grey(170, 172, 176);
const QColor LightGrey(212, 214, 218);
const QColor DarkGrey(110, 112, 116);
const QColor Red(220, 20, 20);

// A grey printer-type register: a body with a sloped top, the receipt coming
// out of the printer slot, a display and a row of keys. With Keypad, a small
// keypad on the front.
void DrawRegister(QPainter& P, bool Keypad) {
    P.setPen(QPen(Outline, 1.5));
    // The receipt.
    P.setBrush(Qt::white);
    P.drawRect(QRectF(58, 18, 34, 30));
    P.setPen(QPen(DarkGrey, 1));
    for (int y = 24; y <= 40; y += 5)
        P.drawLine(QPointF(63, y), QPointF(87, y));
    // The body: a sloped top above a box.
    P.setPen(QPen(Outline, 1.5));
    P.setBrush(Grey);
    P.drawPolygon(QPolygonF({{30, 60}, {44, 40}, {106, 40}, {120, 60}}));
    P.drawRoundedRect(QRectF(24, 60, 102, 52), 4, 4);
    // The printer slot.
    P.setBrush(DarkGrey);
    P.drawRect(QRectF(52, 44, 46, 5));
    // The display.
    P.setBrush(QColor(60, 90, 70));
    P.drawRect(QRectF(34, 66, 44, 14));
    P.setPen(QPen(QColor(150, 230, 160), 1));
    P.drawText(QRectF(34, 66, 44, 14), Qt::AlignCenter, QStringLiteral("0.00"));
    P.setPen(QPen(Outline, 1));
    P.setBrush(LightGrey);
    if (Keypad) {
        // A three by three keypad beside the display.
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                P.drawRect(QRectF(88 + col * 11, 65 + row * 10, 8, 7));
        P.drawRect(QRectF(34, 88, 44, 8));
    } else {
        for (int col = 0; col < 4; ++col)
            P.drawRect(QRectF(34 + col * 22, 90, 16, 9));
    }
    // The feet.
    P.setBrush(DarkGrey);
    P.drawRect(QRectF(30, 112, 14, 4));
    P.drawRect(QRectF(106, 112, 14, 4));
}

// A black compact receipt printer with its paper roll behind it.
void DrawCompactPrinter(QPainter& P) {
    P.setPen(QPen(Outline, 1.5));
    // The roll.
    P.setBrush(QColor(245, 245, 240));
    P.drawEllipse(QRectF(48, 22, 54, 54));
    P.setBrush(QColor(200, 200, 195));
    P.drawEllipse(QRectF(67, 41, 16, 16));
    // The paper leaving the printer.
    P.setBrush(Qt::white);
    P.drawRect(QRectF(56, 30, 38, 30));
    P.setPen(QPen(DarkGrey, 1));
    for (int y = 36; y <= 52; y += 5)
        P.drawLine(QPointF(61, y), QPointF(89, y));
    // The body.
    P.setPen(QPen(Qt::black, 1.5));
    P.setBrush(QColor(28, 28, 30));
    QPainterPath body;
    body.moveTo(34, 112);
    body.lineTo(34, 70);
    body.quadTo(34, 58, 50, 58);
    body.lineTo(100, 58);
    body.quadTo(116, 58, 116, 70);
    body.lineTo(116, 112);
    body.closeSubpath();
    P.drawPath(body);
    // The tear bar, a status light and the feed key.
    P.setPen(QPen(QColor(90, 90, 95), 2));
    P.drawLine(QPointF(50, 62), QPointF(100, 62));
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(40, 200, 60));
    P.drawEllipse(QRectF(44, 96, 6, 6));
    P.setBrush(QColor(80, 80, 86));
    P.drawRoundedRect(QRectF(56, 95, 16, 8), 2, 2);
}

// A red ring with a bar across it.
void DrawProhibition(QPainter& P) {
    P.setBrush(Qt::NoBrush);
    P.setPen(QPen(Red, 8));
    const QRectF ring(22, 12, 106, 106);
    P.drawEllipse(ring);
    P.drawLine(QPointF(40.5, 30.5), QPointF(109.5, 99.5));
}

// A large green question mark, outlined in white to stand out from the register.
void DrawQuestionMark(QPainter& P) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(100);
    font.setBold(true);
    QPainterPath mark;
    mark.addText(0, 0, font, QStringLiteral("?"));
    const QRectF box = mark.boundingRect();
    mark.translate(75 - box.center().x(), 66 - box.center().y());
    P.setPen(QPen(Qt::white, 4));
    P.setBrush(QColor(20, 160, 40));
    P.drawPath(mark);
}

void DrawCaption(QPainter& P, const QString& Text) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    font.setBold(true);
    P.setFont(font);
    P.setPen(Red);
    P.drawText(QRectF(0, 122, Side - 24, 28), Qt::AlignCenter, Text);
}

template <class Draw>
bool Save(const QDir& Dir, const char* Name, Draw&& draw) {
    QImage image(Side, Side, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QFont small(QStringLiteral("DejaVu Sans"));
        small.setPixelSize(8);
        p.setFont(small);
        draw(p);
    }
    const QString path = Dir.filePath(QString::fromLatin1(Name) + QStringLiteral(".jpg"));
    if (!image.save(path, "JPEG", 92)) {
        std::fprintf(stderr, "make-pictures: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-pictures DIRECTORY\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = Save(dir, "KEST_NONE", [](QPainter& p) {
        DrawRegister(p, false);
        DrawProhibition(p);
        DrawCaption(p, QStringLiteral("Нет соединения\nс ККМ!"));
    });
    ok &= Save(dir, "KEST_UNKNOWN", [](QPainter& p) {
        DrawRegister(p, false);
        DrawQuestionMark(p);
    });
    ok &= Save(dir, "KEST_207F", [](QPainter& p) { DrawRegister(p, false); });
    ok &= Save(dir, "KEST_207F03", [](QPainter& p) { DrawCompactPrinter(p); });
    ok &= Save(dir, "KEST_STATION_F", [](QPainter& p) { DrawRegister(p, true); });
    return ok ? 0 : 1;
}
