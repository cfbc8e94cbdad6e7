#pragma once

#include "net/CWS_TCP_S.h"

#include <QMainWindow>
#include <QString>

#include <memory>

class LogBox;
class QAction;

// The relay server: sends every text a client sends back out to every client, the sender
// included, logs it, and shows the connection count, address and port in its caption.
class FormTCPServerMain : public QMainWindow
{
    Q_OBJECT

public:
    // portText: the start window's port field as it stood, or "555" for the command line.
    explicit FormTCPServerMain(const QString &portText, QWidget *parent = nullptr);
    ~FormTCPServerMain() override; // runs Form_Terminate

    // Controls: owned by the window, objectName() = member name.
    LogBox *TextLog = nullptr;
    QAction *mnuClose = nullptr;
    QAction *mnuConnectClose = nullptr;
    QAction *mnuInfoWSock = nullptr;
    QAction *mnuLogClear = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void CWS_TCP_S_GetData(int Index, const QString &rstrData);
    void CWS_TCP_S_ServiceComplete(bool vblnFlag, int Index);
    void CWS_TCP_S_ServiceError(int Index);
    void mnuClose_Click();
    void mnuConnectClose_Click();
    void mnuInfoWSock_Click();
    void mnuLogClear_Click();

private:
    void Form_Initialize();
    void Form_Load(); // last step of the constructor, before the first show()
    void Form_Resize();
    void Form_Unload(int &cancel);
    void Form_Terminate();

    void reportStartFailure(const QString &message);

    QString portText;
    QString askedPort;
    bool serviceStarted = false;
    std::unique_ptr<socks::CWS_TCP_S> CWS_TCP_S;
};
