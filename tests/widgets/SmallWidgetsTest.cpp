#include "widgets/SmallWidgets.h"

#include "support/TestSupport.h"
#include "widgets/ColorHex.h"
#include "widgets/DraggableWindow.h"
#include "widgets/Frames.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace nimo;

TEST(OnlyIntegerValueFormatter, AcceptsOneWholeNumberOnly) {
    struct Row {
        const char* text;
        bool valid;
    };
    const Row rows[] = {
        {"", true},      {"0", true},    {"123", true},
        {"-5", true},    {"+7", true},   {" 42 ", true},
        {"\t9\n", true}, {"0012", true}, {"99999999999999999999", true},
        {"12a", false},  {"1.5", false}, {"1,000", false},
        {"1 2", false},  {"-", false},   {" ", false},
        {"a", false},    {"--1", false}, {"- 1", false},
        {"１２", false},
    };
    OnlyIntegerValueFormatter formatter;
    for (const auto& row : rows) {
        const QString text = QString::fromUtf8(row.text);
        EXPECT_EQ(OnlyIntegerValueFormatter::isPartialStringValid(text), row.valid) << row.text;
        QString input = text;
        int pos = 0;
        EXPECT_EQ(formatter.validate(input, pos), row.valid ? QValidator::Acceptable : QValidator::Invalid);
        EXPECT_EQ(input, text); // never proposes a replacement
    }
}

TEST(OnlyIntegerValueFormatter, KeepsLettersOutOfAField) {
    QLineEdit field;
    OnlyIntegerValueFormatter formatter;
    field.setValidator(&formatter);
    for (QChar c : QStringLiteral("1a2.3")) {
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(&field, &key);
    }
    EXPECT_EQ(field.text(), QStringLiteral("123"));
}

namespace {
void click(QWidget* target, QPoint pos) {
    const QPointF global = target->mapToGlobal(QPointF(pos));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(pos), global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(pos), global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

// The widget a real click at pos in window would reach.
QWidget* hit(QWidget* window, QPoint pos) {
    return window->childAt(pos);
}
} // namespace

TEST(CancelTapView, SwallowsClicksMeantForWhatIsBelow) {
    QWidget window;
    window.resize(400, 300);
    auto* button = new QPushButton(QStringLiteral("below"), &window);
    button->setGeometry(10, 10, 100, 30);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    window.show();

    click(hit(&window, {20, 20}), {10, 10});
    EXPECT_EQ(clicks, 1);

    auto* cover = new CancelTapView(&window);
    cover->setGeometry(window.rect());
    cover->show();
    QWidget* target = hit(&window, {20, 20});
    EXPECT_EQ(target, cover);
    click(target, {20, 20});
    EXPECT_EQ(clicks, 1);
}

TEST(CanTapImageView, DraggingItMovesTheWindow) {
    DraggableWindow window(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window.resize(300, 200);
    window.move(100, 100);
    auto* image = new CanTapImageView(QStringLiteral("titlebar_logo"), &window);
    image->setGeometry(10, 10, 138, 18);
    auto* button = new QPushButton(&window);
    button->setGeometry(200, 10, 50, 20);
    auto* scroll = new CanTapScrollview(&window);
    scroll->setGeometry(10, 50, 200, 100);
    window.show();
    ASSERT_TRUE(test::waitUntil([&] { return window.isVisible(); }));
    EXPECT_TRUE(image->mouseDownCanMoveWindow());

    auto drag = [&](QWidget* on, QPoint from, QPoint by) {
        const QPoint start = window.pos();
        QPointF global = on->mapToGlobal(QPointF(from));
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(from), global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(on, &press);
        global += by;
        QMouseEvent move(QEvent::MouseMove, QPointF(from + by), global, Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(on, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(from + by), global, Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(on, &release);
        return window.pos() - start;
    };
    EXPECT_EQ(drag(image, {5, 5}, {30, 20}), QPoint(30, 20));
    EXPECT_EQ(drag(button, {5, 5}, {30, 20}), QPoint(0, 0)); // a button keeps its press
    EXPECT_TRUE(scroll->mouseDownCanMoveWindow());
    EXPECT_EQ(drag(scroll->viewport(), {5, 5}, {-10, 5}), QPoint(-10, 5));
}

TEST(UxTableRowView, DrawsItsSelectionInsetAndOnlyWhenAsked) {
    UxTableRowView row;
    row.resize(300, 40);
    auto render = [&] {
        QImage image(row.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        row.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    };
    const QColor selection = colorFromHex("#CADEFA");
    EXPECT_EQ(render().pixelColor(150, 20), QColor(Qt::white)); // not selected

    row.setSelected(true);
    QImage image = render();
    EXPECT_EQ(image.pixelColor(150, 20), selection);
    EXPECT_EQ(image.pixelColor(150, 0), selection);          // no vertical inset
    EXPECT_EQ(image.pixelColor(10, 20), QColor(Qt::white));  // 25-point inset left
    EXPECT_EQ(image.pixelColor(290, 20), QColor(Qt::white)); // and right
    EXPECT_EQ(UxTableRowView::selectionRect(QRectF(0, 0, 300, 40)), QRectF(25, 0, 250, 40));

    row.setSelectionHighlightStyle(UxTableRowView::SelectionHighlightStyle::None);
    EXPECT_EQ(render().pixelColor(150, 20), QColor(Qt::white));
}

TEST(UxTextField, EditsWithItsOwnCaretColour) {
    QWidget window;
    window.resize(300, 60);
    auto* field = new UxTextField(&window);
    field->setGeometry(10, 10, 200, 30);
    field->setText(QStringLiteral("abc"));
    EXPECT_FALSE(field->insertColor().has_value());
    const QColor red(255, 0, 0);
    field->setInsertColor(red);
    EXPECT_NE(field->caretColor(), red); // only once editing
    window.show();
    window.activateWindow();
    field->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return field->hasFocus(); }));
    EXPECT_EQ(field->caretColor(), red);

    field->deselect();
    field->setCursorPosition(1);
    const QImage image = field->grab().toImage();
    int caretPixels = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            caretPixels += image.pixelColor(x, y) == red;
    EXPECT_GT(caretPixels, 5);
}
