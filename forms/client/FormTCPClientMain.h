#pragma once

#include "forms/LogBox.h"
#include "net/CWS_TCP_C.h"

#include <QAction>
#include <QComboBox>
#include <QMainWindow>

#include <memory>

// The chat client: connects under the shared handle name, sends what is typed into ComboMain as
// chat lines, logs every line the relay sends back, and before it goes announces its logout and
// waits for that line to come back.
class FormTCPClientMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit FormTCPClientMain(QWidget *parent = nullptr);
    ~FormTCPClientMain() override; // runs Form_Terminate

    LogBox *TextLog = nullptr;
    QComboBox *ComboMain = nullptr;

    QAction *mnuConnect = nullptr;
    QAction *mnuClose = nullptr;
    QAction *mnuSend = nullptr;
    QAction *mnuInfWSock = nullptr;
    QAction *mnuLogClear = nullptr;
    QAction *mnuHistClear = nullptr;

    // How long closing waits for the logout line to come back before it disconnects anyway.
    static constexpr int echoWaitMilliseconds = 5000;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void CWS_TCP_C_Connect();
    void CWS_TCP_C_ConnectClose();
    void CWS_TCP_C_ConnectError();
    void CWS_TCP_C_GetData(const QString &rstrData);
    void mnuClose_Click();
    void mnuConnect_Click();
    void mnuHistClear_Click();
    void mnuInfWSock_Click();
    void mnuLogClear_Click();
    void mnuSend_Click();

private:
    void Form_Load(); // last step of the constructor, before the first show()
    void Form_Resize();
    void Form_Initialize(); // first step of the constructor
    void Form_Terminate();
    void Form_Unload(int &cancel);
    void ComboMain_KeyPress(int &KeyAscii);
    void SendLine(const QString &text);

    void createControls();
    void showDisconnection(const QString &message);
    void showLeaving();
    void waitForEcho();
    // The history entry that the field shows, or the newest.
    int shownHistoryEntry() const;

    std::unique_ptr<socks::CWS_TCP_C> CWS_TCP_C;
    QString mstrLastSent;
    bool mblnWaitEcho = false;
    int mintDisconnected = 0;

    // One logout line, one wait, one close: requests to close while the window waits are
    // ignored, and the unload that ends the disconnect does not start it again.
    bool closing = false;
    bool disconnecting = false;
    bool loggedOut = false;
};
