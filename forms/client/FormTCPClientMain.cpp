#include "forms/client/FormTCPClientMain.h"

#include "forms/ChatLook.h"
#include "forms/MenuBarItem.h"
#include "forms/MenuBarNavigation.h"
#include "forms/MessageBox.h"
#include "forms/ProgramTitle.h"
#include "forms/SharedSettings.h"
#include "forms/Twips.h"
#include "forms/client/ChatLine.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QEventLoop>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QTimer>
#include <QWindow>

#include <algorithm>

namespace {

constexpr int carriageReturnCode = 13;

} // namespace

FormTCPClientMain::FormTCPClientMain(QWidget *parent)
    : QMainWindow(parent)
{
    Form_Initialize();
    createControls();
    Form_Load();
}

FormTCPClientMain::~FormTCPClientMain()
{
    Form_Terminate();
}

void FormTCPClientMain::closeEvent(QCloseEvent *event)
{
    // A close request that comes while the window waits for its logout line changes nothing: the
    // close already under way finishes the job.
    if (closing || disconnecting) {
        event->ignore();
        return;
    }
    // The wait runs inside this close, where Qt takes any further close request from the window
    // system as granted and would take the window off the screen (and end the program with the
    // last window) while the connection waits on: the window itself turns them down meanwhile.
    if (windowHandle())
        windowHandle()->installEventFilter(this);
    int cancel = 0;
    closing = true;
    Form_Unload(cancel);
    closing = false;
    if (cancel != 0)
        event->ignore();
    else
        event->accept();
}

void FormTCPClientMain::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

bool FormTCPClientMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle() && event->type() == QEvent::Close && (closing || disconnecting)) {
        event->ignore();
        return true;
    }
    // Keys reach the combo box itself (its line edit is only its focus proxy), and those that the
    // line edit leaves alone come back to it, so each key press passes here exactly once.
    if (watched == ComboMain && event->type() == QEvent::KeyPress) {
        const auto *keyEvent = static_cast<QKeyEvent *>(event);
        int KeyAscii = 0;
        if (keyEvent->key() == Qt::Key_Return || keyEvent->key() == Qt::Key_Enter)
            KeyAscii = carriageReturnCode;
        else if (!keyEvent->text().isEmpty())
            KeyAscii = keyEvent->text().at(0).unicode();
        if (KeyAscii != 0)
            ComboMain_KeyPress(KeyAscii);
        // The combo box's own Enter handling would pick entries from the list.
        if (KeyAscii == carriageReturnCode)
            return true;
        // From the empty field Up, like Down, starts at the newest entry; Qt would do nothing.
        if (keyEvent->key() == Qt::Key_Up && keyEvent->modifiers() == Qt::NoModifier
            && ComboMain->currentIndex() < 0 && ComboMain->count() > 0) {
            ComboMain->setCurrentIndex(0);
            return true;
        }
    }
    // The drop-down opens on the entry that the field shows (an arrow key's pick, or typed text
    // equal to an entry), else on the newest, so that Enter in it takes what was in view.
    if (watched == ComboMain->view() && event->type() == QEvent::Show && ComboMain->count() > 0)
        ComboMain->view()->setCurrentIndex(ComboMain->model()->index(shownHistoryEntry(), 0));
    return QMainWindow::eventFilter(watched, event);
}

int FormTCPClientMain::shownHistoryEntry() const
{
    const int current = ComboMain->currentIndex();
    if (current >= 0 && ComboMain->itemText(current) == ComboMain->currentText())
        return current;
    const int equal = ComboMain->findText(ComboMain->currentText(),
                                          Qt::MatchExactly | Qt::MatchCaseSensitive);
    return equal >= 0 ? equal : 0;
}

void FormTCPClientMain::CWS_TCP_C_Connect()
{
    SendLine(ChatLine::loginText(QDateTime::currentDateTime(), QLocale()));
    setWindowTitle(QStringLiteral("[") + SharedSettings::gstrHandleName + u':'
                   + CWS_TCP_C->Address() + u':' + QString::number(CWS_TCP_C->Port())
                   + QStringLiteral("] - クライアント"));
}

void FormTCPClientMain::CWS_TCP_C_ConnectClose()
{
    showDisconnection(QStringLiteral("切断されました。"));
}

void FormTCPClientMain::CWS_TCP_C_ConnectError()
{
    showDisconnection(QStringLiteral("接続に失敗しました。"));
}

void FormTCPClientMain::CWS_TCP_C_GetData(const QString &rstrData)
{
    TextLog->appendLog(rstrData);
    // The caret stands before the line feed that ends the last chat line, never before the start.
    TextLog->setCaretPosition(std::max(TextLog->logLength() - 1, 0));
    if (rstrData == mstrLastSent)
        mblnWaitEcho = false;
    // The taskbar entry asks for attention until the window is looked at; Qt asks only once.
    else if (!isActiveWindow())
        QApplication::alert(this);
}

void FormTCPClientMain::Form_Load()
{
    mnuConnect_Click();
    mintDisconnected = 0;
}

void FormTCPClientMain::Form_Resize()
{
    if (!TextLog || !ComboMain || !centralWidget())
        return;
    // One pixel is 15 twips exactly, so comparing pixels decides as comparing twips would.
    const int comboHeight = ComboMain->height();
    const QSize client = centralWidget()->size();
    TextLog->move(0, 0);
    TextLog->resize(client.width(),
                    client.height() > comboHeight ? client.height() - comboHeight
                                                  : TextLog->height());
    // Compared with the combo box's height, not its width: a very narrow window keeps the last width.
    const int comboWidth = client.width() > comboHeight ? client.width() : ComboMain->width();
    ComboMain->setGeometry(ComboMain->x(), TextLog->y() + TextLog->height(), comboWidth,
                           comboHeight);
}

void FormTCPClientMain::Form_Initialize()
{
    CWS_TCP_C = std::make_unique<socks::CWS_TCP_C>();
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::Connect, this,
            &FormTCPClientMain::CWS_TCP_C_Connect);
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::ConnectClose, this,
            &FormTCPClientMain::CWS_TCP_C_ConnectClose);
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::ConnectError, this,
            &FormTCPClientMain::CWS_TCP_C_ConnectError);
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::GetData, this,
            &FormTCPClientMain::CWS_TCP_C_GetData);
}

void FormTCPClientMain::Form_Terminate()
{
    CWS_TCP_C.reset();
}

void FormTCPClientMain::Form_Unload(int &cancel)
{
    Q_UNUSED(cancel);
    if (mintDisconnected == 1 || loggedOut)
        return;
    mnuClose_Click();
}

void FormTCPClientMain::mnuClose_Click()
{
    disconnecting = true;
    SendLine(ChatLine::logoutText(QDateTime::currentDateTime(), QLocale()));
    showLeaving();
    QPointer<FormTCPClientMain> self(this);
    waitForEcho();
    if (!self)
        return;
    CWS_TCP_C->CloseConnection();
    loggedOut = true;
    disconnecting = false;
    // Run from Form_Unload, the window is already on its way out.
    if (!closing)
        close();
}

void FormTCPClientMain::mnuConnect_Click()
{
    CWS_TCP_C->OpenConnection(SharedSettings::gstrServerIP, SharedSettings::gintPort);
}

void FormTCPClientMain::mnuHistClear_Click()
{
    ComboMain->clear();
    ComboMain->clearEditText();
}

void FormTCPClientMain::mnuInfWSock_Click()
{
    CWS_TCP_C->setInfoVisible(!CWS_TCP_C->InfoVisible());
}

void FormTCPClientMain::mnuLogClear_Click()
{
    TextLog->setLogText(QString());
}

void FormTCPClientMain::mnuSend_Click()
{
    SendLine(ComboMain->currentText());
    const QString text = ComboMain->currentText();
    const QString newest = ComboMain->count() > 0 ? ComboMain->itemText(0) : QString();
    if (text != newest)
        ComboMain->insertItem(0, text);
    // No entry stays current (Qt keeps the first one ever inserted current), so the arrow keys
    // and the drop-down start again from the newest.
    ComboMain->setCurrentIndex(-1);
    ComboMain->setEditText(QString());
}

void FormTCPClientMain::ComboMain_KeyPress(int &KeyAscii)
{
    if (KeyAscii == carriageReturnCode)
        mnuSend_Click();
}

void FormTCPClientMain::SendLine(const QString &text)
{
    mstrLastSent = ChatLine::build(CWS_TCP_C->SocketNumber(), SharedSettings::gstrHandleName, text);
    // Set before sending: the echo may be handled before SendData returns.
    mblnWaitEcho = true;
    CWS_TCP_C->SendData(mstrLastSent);
}

void FormTCPClientMain::createControls()
{
    setObjectName(QStringLiteral("FormTCPClientMain"));
    setWindowTitle(QStringLiteral("クライアント"));
    setWindowIcon(QIcon(QStringLiteral(":/resources/icon.png")));

    auto *clientArea = new QWidget(this);
    setCentralWidget(clientArea);

    TextLog = new LogBox(clientArea);
    TextLog->setObjectName(QStringLiteral("TextLog"));
    TextLog->setPalette(chatPalette(TextLog->palette()));
    TextLog->setFont(chatFont());
    TextLog->setGeometry(twipsRect(0, 120, 3780, 2190));
    TextLog->setAccessibleName(QStringLiteral("チャットのログ"));

    ComboMain = new QComboBox(clientArea);
    ComboMain->setObjectName(QStringLiteral("ComboMain"));
    ComboMain->setEditable(true);
    // The history follows mnuSend_Click alone: no entries added on Enter, no jumping to an equal
    // entry, and no completion that would send more than was typed.
    ComboMain->setInsertPolicy(QComboBox::NoInsert);
    ComboMain->setDuplicatesEnabled(true);
    ComboMain->setCompleter(nullptr);
    ComboMain->setPalette(chatPalette(ComboMain->palette()));
    ComboMain->setFont(chatFont());
    // A combo box is as high as its font makes it; only its place and width are set here.
    const QRect comboPlace = twipsRect(0, 2400, 3810, 300);
    ComboMain->setGeometry(comboPlace.x(), comboPlace.y(), comboPlace.width(),
                           ComboMain->sizeHint().height());
    ComboMain->setAccessibleName(QStringLiteral("送信するテキスト"));
    ComboMain->installEventFilter(this);
    ComboMain->view()->installEventFilter(this);

    setTabOrder(TextLog, ComboMain);
    // Whoever opens a chat window wants to type.
    ComboMain->setFocus();

    mnuConnect = addMenuBarItem(menuBar(), "mnuConnect", QStringLiteral("接続"));
    mnuClose = addMenuBarItem(menuBar(), "mnuClose", QStringLiteral("接続を切断"));
    mnuSend = addMenuBarItem(menuBar(), "mnuSend", QStringLiteral("送信"));
    mnuInfWSock = addMenuBarItem(menuBar(), "mnuInfWSock", QStringLiteral("情報"));
    mnuLogClear = addMenuBarItem(menuBar(), "mnuLogClear", QStringLiteral("ログクリア"));
    mnuHistClear = addMenuBarItem(menuBar(), "mnuHistClear", QStringLiteral("ヒストリークリア"));
    // The window runs these itself, on loading and on closing.
    mnuConnect->setEnabled(false);
    mnuClose->setEnabled(false);
    connect(mnuConnect, &QAction::triggered, this, &FormTCPClientMain::mnuConnect_Click);
    connect(mnuClose, &QAction::triggered, this, &FormTCPClientMain::mnuClose_Click);
    connect(mnuSend, &QAction::triggered, this, &FormTCPClientMain::mnuSend_Click);
    connect(mnuInfWSock, &QAction::triggered, this, &FormTCPClientMain::mnuInfWSock_Click);
    connect(mnuLogClear, &QAction::triggered, this, &FormTCPClientMain::mnuLogClear_Click);
    connect(mnuHistClear, &QAction::triggered, this, &FormTCPClientMain::mnuHistClear_Click);
    MenuBarNavigation::install(menuBar());

    const QSize clientSize = twipsSize(6285, 4395);
    resize(clientSize.width(), clientSize.height() + menuBar()->heightForWidth(clientSize.width()));
    Form_Resize();
}

void FormTCPClientMain::showDisconnection(const QString &message)
{
    QPointer<FormTCPClientMain> self(this);
    // A connection that fails at once (as with /c and no settings) reports before the window
    // system has put the window on the screen: the box waits for that, so that it opens centred
    // on its window and not where the window was before it was placed.
    MessageBox::waitUntilShown(this);
    if (!self)
        return;
    auto *box = new QMessageBox(QMessageBox::NoIcon, ProgramTitle::applicationTitle(), message,
                                QMessageBox::Ok, this);
    MessageBox::fitTitle(*box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->exec();
    if (!self)
        return;
    mintDisconnected = 1;
}

void FormTCPClientMain::showLeaving()
{
    // Only the log stays usable while the logout line comes back: nothing typed now would be read.
    ComboMain->setEnabled(false);
    for (QAction *item : menuBar()->actions())
        item->setEnabled(false);
    // The log's text area and the combo box's field carry cursors of their own.
    for (QWidget *area : {static_cast<QWidget *>(this), TextLog->viewport(),
                          static_cast<QWidget *>(ComboMain->lineEdit())})
        area->setCursor(Qt::BusyCursor);
}

void FormTCPClientMain::waitForEcho()
{
    // Closed while still connecting: the logout line went nowhere, so no echo can come back.
    if (!mblnWaitEcho || CWS_TCP_C->SocketNumber() == 0)
        return;
    // Sleeps until something happens, lets every window go on meanwhile, and stops when the line
    // came back, when it can no longer come back, or when the relay is too slow to wait for.
    QEventLoop loop;
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::GetData, &loop, [this, &loop] {
        if (!mblnWaitEcho)
            loop.quit();
    });
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::ConnectClose, &loop, &QEventLoop::quit);
    connect(CWS_TCP_C.get(), &socks::CWS_TCP_C::ConnectError, &loop, &QEventLoop::quit);
    QTimer::singleShot(echoWaitMilliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
