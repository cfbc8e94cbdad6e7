#include "forms/server/FormTCPServerMain.h"

#include "forms/ChatLook.h"
#include "forms/LogBox.h"
#include "forms/MenuBarItem.h"
#include "forms/MenuBarNavigation.h"
#include "forms/MessageBox.h"
#include "forms/PortReading.h"
#include "forms/ProgramTitle.h"
#include "forms/Twips.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenuBar>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <optional>

namespace {

// Why the service did not start, in the window's words; Qt's own reason where there is no better.
QString startFailureText(socks::CWS_TCP_S::StartFailure failure, const QString &reason)
{
    using Failure = socks::CWS_TCP_S::StartFailure;
    switch (failure) {
    case Failure::PortInUse:
        return QStringLiteral("ポートは既に使用されています");
    case Failure::NoPermission:
        return QStringLiteral("ポートを使う権限がありません");
    case Failure::InvalidPort:
        return QStringLiteral("ポート番号は 0 から 65535 の範囲で指定してください");
    case Failure::NotASocket:
    case Failure::NotTcp:
    case Failure::NotListening:
        return QStringLiteral("待ち受け中の TCP ソケットではありません");
    case Failure::None:
    case Failure::Other:
        break;
    }
    return reason;
}

} // namespace

FormTCPServerMain::FormTCPServerMain(const QString &portText, QWidget *parent)
    : QMainWindow(parent)
    , portText(portText)
{
    Form_Initialize();

    setWindowTitle(QStringLiteral("サーバ"));
    setWindowIcon(QIcon(QStringLiteral(":/resources/icon.png")));

    mnuClose = addMenuBarItem(menuBar(), "mnuClose", QStringLiteral("閉じる"));
    mnuConnectClose = addMenuBarItem(menuBar(), "mnuConnectClose", QStringLiteral("接続を切断"));
    mnuInfoWSock = addMenuBarItem(menuBar(), "mnuInfoWSock", QStringLiteral("情報"));
    mnuLogClear = addMenuBarItem(menuBar(), "mnuLogClear", QStringLiteral("ログをクリア"));
    MenuBarNavigation::install(menuBar());
    // Switched off for good; their procedures stay callable from code.
    mnuClose->setEnabled(false);
    mnuConnectClose->setEnabled(false);
    connect(mnuClose, &QAction::triggered, this, &FormTCPServerMain::mnuClose_Click);
    connect(mnuConnectClose, &QAction::triggered, this, &FormTCPServerMain::mnuConnectClose_Click);
    connect(mnuInfoWSock, &QAction::triggered, this, &FormTCPServerMain::mnuInfoWSock_Click);
    connect(mnuLogClear, &QAction::triggered, this, &FormTCPServerMain::mnuLogClear_Click);

    // The central widget is the client area; the log box is placed in it by Form_Resize.
    auto *clientArea = new QWidget(this);
    setCentralWidget(clientArea);
    TextLog = new LogBox(clientArea);
    TextLog->setObjectName(QStringLiteral("TextLog"));
    TextLog->setFont(chatFont());
    TextLog->setPalette(chatPalette(TextLog->palette()));
    TextLog->setGeometry(twipsRect(240, 180, 2610, 1275));
    TextLog->setAccessibleName(QStringLiteral("チャットのログ"));

    resize(twips(5595), twips(2595) + menuBar()->sizeHint().height());
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                    screen()->availableGeometry()));

    Form_Load();
}

FormTCPServerMain::~FormTCPServerMain()
{
    Form_Terminate();
}

void FormTCPServerMain::closeEvent(QCloseEvent *event)
{
    int cancel = 0;
    Form_Unload(cancel);
    if (cancel != 0)
        event->ignore();
    else
        event->accept();
}

void FormTCPServerMain::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void FormTCPServerMain::Form_Initialize()
{
    CWS_TCP_S = std::make_unique<socks::CWS_TCP_S>();
    connect(CWS_TCP_S.get(), &socks::CWS_TCP_S::GetData, this,
            &FormTCPServerMain::CWS_TCP_S_GetData);
    connect(CWS_TCP_S.get(), &socks::CWS_TCP_S::ServiceComplete, this,
            &FormTCPServerMain::CWS_TCP_S_ServiceComplete);
    connect(CWS_TCP_S.get(), &socks::CWS_TCP_S::ServiceError, this,
            &FormTCPServerMain::CWS_TCP_S_ServiceError);
}

void FormTCPServerMain::Form_Load()
{
    TextLog->setLogText(QStringLiteral("接続の監視準備中...\n"));
    TextLog->setCaretPosition(TextLog->logLength());

    // A number beyond 32 bits is no port either: the component refuses it with its own reason.
    const std::optional<int> port = PortReading::readNumberLeniently(portText);
    // Shown in the caption when the service does not start: the port that was asked for.
    askedPort = port ? QString::number(*port) : portText.trimmed();
    serviceStarted = CWS_TCP_S->StartService(port.value_or(-1));

    CWS_TCP_S_ServiceComplete(false, 0);

    if (serviceStarted) {
        TextLog->setLogText(QStringLiteral("接続の監視を開始しました\r\n"));
    } else {
        const QString message = QStringLiteral("接続の監視を開始できませんでした: ")
                + startFailureText(CWS_TCP_S->LastFailure(), CWS_TCP_S->LastError());
        TextLog->setLogText(message + QStringLiteral("\r\n"));
        const bool noPermission =
                CWS_TCP_S->LastFailure() == socks::CWS_TCP_S::StartFailure::NoPermission;
        reportStartFailure(noPermission ? message
                                           + QStringLiteral("\n\n1024 以上のポートなら管理者の"
                                                            "権限がなくても使えます。")
                                        : message);
    }
    TextLog->setCaretPosition(TextLog->logLength());
}

void FormTCPServerMain::Form_Resize()
{
    // Minimised, the client area may be empty; the box simply follows it.
    const QWidget *clientArea = centralWidget();
    if (!clientArea || !TextLog)
        return;
    TextLog->setGeometry(0, 0, clientArea->width(), clientArea->height());
}

void FormTCPServerMain::Form_Unload(int &cancel)
{
    Q_UNUSED(cancel);
    CWS_TCP_S->CloseConnection(0);
}

void FormTCPServerMain::Form_Terminate()
{
    CWS_TCP_S.reset();
}

void FormTCPServerMain::CWS_TCP_S_GetData(int Index, const QString &rstrData)
{
    Q_UNUSED(Index);
    // Index 0 reaches the sender too: clients wait for their own line.
    CWS_TCP_S->SendData(rstrData, 0);
    TextLog->appendLog(rstrData);
    TextLog->setCaretPosition(TextLog->logLength());
    // The taskbar entry asks for attention until the window is looked at; Qt asks only once.
    if (!isActiveWindow())
        QApplication::alert(this);
}

void FormTCPServerMain::CWS_TCP_S_ServiceComplete(bool vblnFlag, int Index)
{
    Q_UNUSED(vblnFlag);
    Q_UNUSED(Index);
    const int count = CWS_TCP_S->ConnectionCount();
    const QString address = CWS_TCP_S->Address();
    // A service that never started serves no port; the one asked for says which start failed.
    const QString port = serviceStarted ? QString::number(CWS_TCP_S->Port()) : askedPort;
    setWindowTitle(QStringLiteral("[") + QString::number(count) + QStringLiteral("]-[") + address
                   + QStringLiteral(":") + port + QStringLiteral("] - サーバ"));
}

void FormTCPServerMain::CWS_TCP_S_ServiceError(int Index)
{
    CWS_TCP_S->CloseConnection(Index);
}

void FormTCPServerMain::mnuClose_Click()
{
    // Closes every connection, yet the window stays.
    int cancel = 0;
    Form_Unload(cancel);
}

void FormTCPServerMain::mnuConnectClose_Click()
{
    int cancel = 0;
    Form_Unload(cancel);
}

void FormTCPServerMain::mnuInfoWSock_Click()
{
    CWS_TCP_S->setInfoVisible(!CWS_TCP_S->InfoVisible());
}

void FormTCPServerMain::mnuLogClear_Click()
{
    TextLog->setLogText(QString());
}

void FormTCPServerMain::reportStartFailure(const QString &message)
{
    // Shown once the window is up, and without a nested event loop: the box belongs to the
    // window and goes with it.
    QTimer::singleShot(0, this, [this, message] {
        auto *box = new QMessageBox(QMessageBox::NoIcon, ProgramTitle::applicationTitle(), message,
                                    QMessageBox::Ok, this);
        MessageBox::fitTitle(*box);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
}

#include "moc_FormTCPServerMain.cpp"
