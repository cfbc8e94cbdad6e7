#include "forms/info/ClientInfoWindow.h"

#include <QFormLayout>
#include <QLabel>

namespace InfoWindows {

ClientInfoWindow::ClientInfoWindow()
{
    setObjectName(QStringLiteral("ClientInfoWindow"));
    setWindowTitle(QStringLiteral("クライアント情報"));
    // An information window left open must not keep the program alive after the chat windows.
    setAttribute(Qt::WA_QuitOnClose, false);

    stateLabel = new QLabel(this);
    serverLabel = new QLabel(this);
    localLabel = new QLabel(this);
    socketNumberLabel = new QLabel(this);
    receivedLabel = new QLabel(this);
    sentLabel = new QLabel(this);
    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("状態:"), stateLabel);
    form->addRow(QStringLiteral("サーバ:"), serverLabel);
    form->addRow(QStringLiteral("ローカル:"), localLabel);
    form->addRow(QStringLiteral("ソケット番号:"), socketNumberLabel);
    form->addRow(QStringLiteral("受信:"), receivedLabel);
    form->addRow(QStringLiteral("送信:"), sentLabel);
    resize(360, 200);
}

void ClientInfoWindow::showStatus(const Status &status)
{
    stateLabel->setText(status.state);
    serverLabel->setText(status.server);
    localLabel->setText(status.local);
    socketNumberLabel->setText(QString::number(status.socketNumber));
    receivedLabel->setText(QStringLiteral("%1 テキスト / %2 バイト")
                                   .arg(status.traffic.textsIn)
                                   .arg(status.traffic.bytesIn));
    sentLabel->setText(QStringLiteral("%1 テキスト / %2 バイト")
                               .arg(status.traffic.textsOut)
                               .arg(status.traffic.bytesOut));
}

} // namespace InfoWindows
