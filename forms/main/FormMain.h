#pragma once

#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

// The start window: the port, handle name and server fields, and the three buttons that store
// them as the shared settings and open a server window, a client window or end the program.
class FormMain : public QWidget
{
    Q_OBJECT

public:
    explicit FormMain(QWidget *parent = nullptr);

    // Controls: owned by the window, objectName() = member name.
    QLabel *Picture1 = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *PortInp = nullptr; // the server window reads its port text from here
    QLabel *Label5 = nullptr;
    QLineEdit *NameInp = nullptr;
    QLabel *Label6 = nullptr;
    QLineEdit *ServerIPInp = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *LabelVer = nullptr;
    // Index 1 server, 2 client, 0 quit. Index 0 ends the process on the spot: a test that
    // presses it must do so in a child process.
    std::array<QPushButton *, 3> btnChoise{};

private slots:
    void btnChoise_Click(int Index);

private:
    void Form_Load();
    void placeFields();
    // Copies the three fields into the shared settings; stores nothing and returns false when the
    // port field holds no port.
    bool storeSettings();
};
