#include "cuedialogview.h"

#include "cuedialogcontroller.h"
#include "deck/clickablelabel.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QScreen>

namespace pocko {

namespace {

void place(QLineEdit *box, const CueDialogController::TextBox &data, const QString &meaning)
{
    box->setMaxLength(data.maxLength);
    box->setGeometry(twipsToPixels(data.left), twipsToPixels(data.top), twipsToPixels(data.width),
                     twipsToPixels(data.height));
    QPalette colours = box->palette();
    colours.setColor(QPalette::Base, toQColor(data.back));
    colours.setColor(QPalette::Text, toQColor(data.fore));
    box->setPalette(colours);
    box->setAccessibleName(data.name);
    box->setAccessibleDescription(meaning);
}

} // namespace

CueDialogView::CueDialogView(CueDialogController &dialog, QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint)
    , m_dialog(dialog)
{
    setObjectName(QStringLiteral("Form2"));
    applyWindowLook(this, CueDialogController::BackColor);
    setFixedSize(twipsToPixels(CueDialogController::ClientWidth),
                 twipsToPixels(CueDialogController::ClientHeight));

    m_text1 = makeBox(m_dialog.Text1.name);
    m_text2 = makeBox(m_dialog.Text2.name);
    m_text3 = makeBox(m_dialog.Text3.name);
    place(m_text1, m_dialog.Text1, QStringLiteral("Repeats, 1 to 9"));
    place(m_text2, m_dialog.Text2, QStringLiteral("Burst duration, 200 to 9999 ms"));
    place(m_text3, m_dialog.Text3, QStringLiteral("Start position in seconds"));
    setTabOrder(m_text1, m_text2);
    setTabOrder(m_text2, m_text3);

    m_info = new ClickableLabel(this);
    m_info->apply(m_dialog.info);

    connect(m_text1, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_dialog.event([this, text] { m_dialog.Text1.text = text; });
    });
    connect(m_text2, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_dialog.event([this, text] { m_dialog.Text2.text = text; });
    });
    connect(m_text3, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_dialog.event([this, text] { m_dialog.Text3.text = text; });
    });

    refresh();
    setFocusProxy(m_text1);
    m_text1->setFocus();

    if (const QScreen *where = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(where->availableGeometry().center());
        move(frame.topLeft());
    }
}

QLineEdit *CueDialogView::makeBox(const QString &name)
{
    auto *box = new QLineEdit(this);
    box->setObjectName(name);
    box->setFrame(true);
    return box;
}

void CueDialogView::refresh()
{
    if (windowTitle() != m_dialog.caption) {
        setWindowTitle(m_dialog.caption);
        setAccessibleName(m_dialog.caption);
    }
    // Only texts that differ are written, so the cursor stays where the user is typing.
    const auto update = [](QLineEdit *box, const QString &text) {
        if (box->text() != text)
            box->setText(text);
    };
    update(m_text1, m_dialog.Text1.text);
    update(m_text2, m_dialog.Text2.text);
    update(m_text3, m_dialog.Text3.text);
    m_info->apply(m_dialog.info);
}

void CueDialogView::retire()
{
    m_closed = true;
    hide();
}

void CueDialogView::closeEvent(QCloseEvent *event)
{
    // The close is never refused.
    event->accept();
    if (m_closed)
        return;
    m_closed = true;
    m_dialog.event([this] { m_dialog.closeProcessing(); });
    if (destroyWindow)
        destroyWindow();
}

} // namespace pocko
