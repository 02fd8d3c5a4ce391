// The Wi-Fi dialog: switch the chosen USB phone to Wi-Fi, or connect (and
// pair) by address. Every request goes through the model.
#pragma once

#include "DiagnosticsViewModel.h"

#include <QDialog>

#include <memory>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kelvane {

class WirelessDialog : public QDialog {
    Q_OBJECT
public:
    WirelessDialog(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent = nullptr);

    // What the dialog offers for the model's present state: the switch for
    // the chosen phone when it is an authorized USB one.
    void update();

private:
    void send(Wireless::Request request);
    void finished(const Wireless::Outcome& outcome);
    void pairingKnown(bool can);

    std::shared_ptr<DiagnosticsViewModel> model_;
    QPushButton* switchButton_;
    QLabel* switchNote_;
    QLineEdit* address_;
    QPushButton* connectButton_;
    QLineEdit* pairingPort_;
    QLineEdit* code_;
    QPushButton* pairButton_;
    QLabel* pairingNote_;
    QLabel* result_;
    QPlainTextEdit* transcript_;
    bool busy_ = false;
    bool canPair_ = false;
};

} // namespace kelvane
