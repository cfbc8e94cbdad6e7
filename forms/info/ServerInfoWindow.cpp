#include "forms/info/ServerInfoWindow.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace InfoWindows {

namespace {

QTableWidgetItem *cell(const QString &text, bool number)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (number)
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

ServerInfoWindow::ServerInfoWindow()
{
    setObjectName(QStringLiteral("ServerInfoWindow"));
    setWindowTitle(QStringLiteral("サーバ情報"));
    // An information window left open must not keep the program alive after the chat windows.
    setAttribute(Qt::WA_QuitOnClose, false);

    stateLabel = new QLabel(this);
    addressLabel = new QLabel(this);
    portLabel = new QLabel(this);
    countLabel = new QLabel(this);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("状態:"), stateLabel);
    form->addRow(QStringLiteral("待ち受けアドレス:"), addressLabel);
    form->addRow(QStringLiteral("ポート:"), portLabel);
    form->addRow(QStringLiteral("接続数:"), countLabel);

    connectionTable = new QTableWidget(0, 7, this);
    connectionTable->setHorizontalHeaderLabels(
            {QStringLiteral("番号"), QStringLiteral("相手"), QStringLiteral("接続時刻"),
             QStringLiteral("受信テキスト"), QStringLiteral("受信バイト"),
             QStringLiteral("送信テキスト"), QStringLiteral("送信バイト")});
    connectionTable->verticalHeader()->hide();
    connectionTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connectionTable->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(connectionTable);
    resize(720, 320);
}

void ServerInfoWindow::showStatus(const Status &status)
{
    stateLabel->setText(status.listening ? QStringLiteral("待ち受け中") : QStringLiteral("停止中"));
    addressLabel->setText(
            status.listening ? QStringLiteral("全インターフェース (IPv4 と IPv6)、LAN からは %1")
                                       .arg(status.address)
                             : QStringLiteral("-"));
    portLabel->setText(QString::number(status.port));
    countLabel->setText(QString::number(status.connectionCount));

    connectionTable->setRowCount(int(status.rows.size()));
    for (int row = 0; row < int(status.rows.size()); ++row) {
        const Status::ConnectionRow &connection = status.rows[size_t(row)];
        const QString peer =
                connection.failed ? connection.peer + QStringLiteral(" (エラー)") : connection.peer;
        connectionTable->setItem(row, 0, cell(QString::number(connection.index), true));
        connectionTable->setItem(row, 1, cell(peer, false));
        connectionTable->setItem(
                row, 2,
                cell(connection.since.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")), false));
        connectionTable->setItem(row, 3, cell(QString::number(connection.traffic.textsIn), true));
        connectionTable->setItem(row, 4, cell(QString::number(connection.traffic.bytesIn), true));
        connectionTable->setItem(row, 5, cell(QString::number(connection.traffic.textsOut), true));
        connectionTable->setItem(row, 6, cell(QString::number(connection.traffic.bytesOut), true));
    }
}

} // namespace InfoWindows
