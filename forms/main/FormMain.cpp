#include "forms/main/FormMain.h"

#include "forms/MessageBox.h"
#include "forms/PortReading.h"
#include "forms/ProgramTitle.h"
#include "forms/SharedSettings.h"
#include "forms/Twips.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/server/FormTCPServerMain.h"

#include <QButtonGroup>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int longestHandleName = 10;

// Qt's own quit closes every window first, and a closing client window sends its logout line and
// waits for it to come back, possibly inside an event loop that would never let a quit through.
// The quit button ends everything as it stands: windows are not asked, connections end with the
// process. Nothing of ours is buffered except the standard streams.
[[noreturn]] void endProcessNow()
{
    std::fflush(nullptr);
    std::_Exit(0);
}

QLabel *makeLabel(QWidget *parent, const char *name, const QRect &geometry, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The labels are laid out for a 9 pt font; at a desktop's 10 to 12 pt their text needs more room.
// A label grows right and down from where it stands, and wraps within the window when a single
// line would leave it.
void growToText(QLabel *label, const QRect &window)
{
    QRect box = label->geometry();
    box.setSize(box.size().expandedTo(label->sizeHint()));
    if (box.right() > window.right()) {
        box.setRight(window.right());
        label->setWordWrap(true);
        box.setHeight(std::max(box.height(), label->heightForWidth(box.width())));
    }
    label->setGeometry(box);
}

QLineEdit *makeField(QWidget *parent, const char *name, const QRect &geometry, const QString &text)
{
    auto *field = new QLineEdit(text, parent);
    field->setObjectName(QLatin1String(name));
    field->setGeometry(geometry);
    return field;
}

} // namespace

FormMain::FormMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("FormMain"));
    setFixedSize(twipsSize(4845, 5295));
    // The window has no title bar to read a name from; a screen reader still announces one.
    setAccessibleName(ProgramTitle::applicationTitle());
    setWindowIcon(QIcon(QStringLiteral(":/resources/icon.png")));

    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twipsRect(120, 120, 4575, 1215));
    // One pixel of sunken frame leaves exactly the picture's 79 pixels of height inside.
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setLineWidth(1);
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Picture1->setPixmap(QPixmap(QStringLiteral(":/resources/title.gif")));

    Label4 = makeLabel(this, "Label4", twipsRect(600, 1635, 1455, 375),
                       QStringLiteral("使用するポート"));
    PortInp = makeField(this, "PortInp", twipsRect(2160, 1560, 975, 375), QStringLiteral("555"));
    PortInp->setMaxLength(5);
    Label5 = makeLabel(this, "Label5", twipsRect(600, 2160, 1455, 375),
                       QStringLiteral("ハンドルネーム"));
    NameInp =
            makeField(this, "NameInp", twipsRect(2160, 2040, 975, 375), QStringLiteral("Default"));
    NameInp->setMaxLength(longestHandleName);
    Label6 = makeLabel(this, "Label6", twipsRect(600, 2640, 1455, 375),
                       QStringLiteral("サーバのＩＰ"));
    ServerIPInp = makeField(this, "ServerIPInp", twipsRect(2160, 2520, 975, 375),
                            QStringLiteral("localhost"));

    auto *choiceGroup = new QButtonGroup(this);
    for (int index = 0; index < int(btnChoise.size()); ++index) {
        btnChoise[index] = new QPushButton(this);
        btnChoise[index]->setObjectName(QStringLiteral("btnChoise_%1").arg(index));
        btnChoise[index]->setAutoDefault(true); // Enter presses the focused button too
        choiceGroup->addButton(btnChoise[index], index);
    }
    btnChoise[1]->setText(QStringLiteral("サーバ"));
    btnChoise[1]->setGeometry(twipsRect(120, 3240, 1800, 420));
    Label1 = makeLabel(this, "Label1", twipsRect(2040, 3360, 2535, 375),
                       QStringLiteral("まず、サーバを立ててください"));
    btnChoise[2]->setText(QStringLiteral("クライアント"));
    btnChoise[2]->setGeometry(twipsRect(120, 3840, 1800, 420));
    Label2 = makeLabel(this, "Label2", twipsRect(2040, 3960, 2535, 375),
                       QStringLiteral("チャットのクライアント"));
    btnChoise[0]->setText(QStringLiteral("終了"));
    btnChoise[0]->setGeometry(twipsRect(120, 4440, 1800, 420));
    Label3 = makeLabel(this, "Label3", twipsRect(2040, 4560, 2535, 375),
                       QStringLiteral("このプログラムを終了"));
    LabelVer =
            makeLabel(this, "LabelVer", twipsRect(3960, 5040, 690, 180), QStringLiteral("0.0.0"));
    connect(choiceGroup, &QButtonGroup::idClicked, this, &FormMain::btnChoise_Click);
    for (QLabel *label : {Label1, Label2, Label3, Label4, Label5, Label6})
        growToText(label, rect());
    placeFields();
    // A screen reader names each field by the label in front of it.
    PortInp->setAccessibleName(Label4->text());
    NameInp->setAccessibleName(Label5->text());
    ServerIPInp->setAccessibleName(Label6->text());
    Label4->setBuddy(PortInp);
    Label5->setBuddy(NameInp);
    Label6->setBuddy(ServerIPInp);

    // Keyboard order: quit, client, server, then the three fields; labels and the picture take no
    // focus. Quit comes first, so it holds the focus when the window first shows.
    setTabOrder(btnChoise[0], btnChoise[2]);
    setTabOrder(btnChoise[2], btnChoise[1]);
    setTabOrder(btnChoise[1], PortInp);
    setTabOrder(PortInp, NameInp);
    setTabOrder(NameInp, ServerIPInp);
    btnChoise[0]->setFocus();

    Form_Load();
}

void FormMain::Form_Load()
{
    LabelVer->setText(QStringLiteral("Ver:") + ProgramTitle::versionText());

    // The version box is drawn for a smaller font than ours: it grows until the whole text shows,
    // staying inside the window.
    const QSize needed = LabelVer->sizeHint();
    QRect box = LabelVer->geometry();
    box.setSize(box.size().expandedTo(needed));
    box.moveRight(std::min(box.right(), width() - 1));
    box.moveBottom(std::min(box.bottom(), height() - 1));
    LabelVer->setGeometry(box);
}

void FormMain::btnChoise_Click(int Index)
{
    const bool stored = storeSettings();
    if (Index == 0)
        endProcessNow(); // whatever the port field holds
    if (!stored) {
        MessageBox::showMessage(QStringLiteral("ポート番号が正しくありません。0 から 65535 "
                                               "までの数字を入力してください。"),
                                this);
        return;
    }

    switch (Index) {
    case 1: {
        auto *server = new FormTCPServerMain(PortInp->text());
        server->setAttribute(Qt::WA_DeleteOnClose);
        server->show();
        break;
    }
    case 2: {
        auto *client = new FormTCPClientMain;
        client->setAttribute(Qt::WA_DeleteOnClose);
        client->show();
        break;
    }
    }
}

void FormMain::placeFields()
{
    // The fields stand in one column right of their labels: labels grown for a larger font push
    // the column right, and each field widens to show its text, up to the window's edge.
    constexpr int gap = 7; // between a label and its field at 9 pt
    constexpr int edge = 8;
    int left = PortInp->x();
    for (const QLabel *label : {Label4, Label5, Label6})
        left = std::max(left, label->geometry().right() + 1 + gap);
    for (QLineEdit *field : {PortInp, NameInp, ServerIPInp}) {
        const QMargins margins = field->textMargins();
        // A line edit's frame and the room Qt keeps around its text: 2 px a side each.
        const int needed = field->fontMetrics().horizontalAdvance(field->text()) + margins.left()
                + margins.right() + 8;
        const int height = std::max(field->height(), field->sizeHint().height());
        const int fieldWidth = std::min(std::max(field->width(), needed), width() - edge - left);
        field->setGeometry(left, field->y(), fieldWidth, height);
    }
}

bool FormMain::storeSettings()
{
    const std::optional<int> port = PortReading::readPortField(PortInp->text());
    if (!port)
        return false;
    SharedSettings::gintPort = *port;

    const QString name = NameInp->text();
    SharedSettings::gstrHandleName =
            name.isEmpty() || name.size() > longestHandleName ? QStringLiteral("Default") : name;

    const QString server = ServerIPInp->text();
    SharedSettings::gstrServerIP = server.isEmpty() ? QStringLiteral("localhost") : server;
    return true;
}

#include "moc_FormMain.cpp"
