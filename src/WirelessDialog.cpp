#include "WirelessDialog.h"

#include "WindowParts.h"

#include <QAccessible>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace kelvane {

using namespace parts;

namespace {

constexpr std::string_view dialogTitle = "Wi-Fi";
constexpr std::string_view switchSection = "Switch a USB phone to Wi-Fi";
constexpr std::string_view switchNoPhone =
    "Choose a phone attached by USB with USB debugging authorized. It must be on the same Wi-Fi network as this "
    "computer.";
constexpr std::string_view switchReady = "The phone must be on the same Wi-Fi network as this computer.";
constexpr std::string_view connectSection = "Connect to address";
constexpr std::string_view addressLabel = "&Address and port:";
constexpr std::string_view addressHint = "192.168.1.20:5555";
constexpr std::string_view connectText = "&Connect";
constexpr std::string_view pairingPortLabel = "Pairing p&ort:";
constexpr std::string_view codeLabel = "Pairing c&ode:";
constexpr std::string_view pairText = "&Pair and Connect";
constexpr std::string_view pairingHelp =
    "A phone with Android 11 or later that was never paired: on the phone, open Developer options \u2192 Wireless "
    "debugging \u2192 Pair device with pairing code, and enter its pairing port and code.";
constexpr std::string_view pairingUnsupported =
    "Pairing needs a newer adb (platform-tools 30 or later). A phone paired before can still connect by address.";
constexpr std::string_view workingText = "Working\u2026";

// "Switch <serial> to Wi-Fi".
QString switchText(const QString& serial) { return QStringLiteral("&Switch %1 to Wi-Fi").arg(serial); }

QLabel* note(QWidget* parent, std::string_view text) {
    auto* label = new QLabel(qs(text), parent);
    label->setWordWrap(true);
    return label;
}

} // namespace

WirelessDialog::WirelessDialog(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent)
    : QDialog(parent), model_(std::move(model)) {
    setObjectName(QStringLiteral("wirelessDialog"));
    setWindowTitle(qs(dialogTitle));
    auto* column = new QVBoxLayout(this);

    auto* switchBox = new QGroupBox(qs(switchSection), this);
    auto* switchColumn = new QVBoxLayout(switchBox);
    switchButton_ = new QPushButton(switchBox);
    switchButton_->setObjectName(QStringLiteral("switchButton"));
    switchButton_->setAutoDefault(false);
    switchNote_ = note(switchBox, switchNoPhone);
    switchColumn->addWidget(switchButton_, 0, Qt::AlignLeft);
    switchColumn->addWidget(switchNote_);
    column->addWidget(switchBox);

    auto* connectBox = new QGroupBox(qs(connectSection), this);
    auto* form = new QFormLayout(connectBox);
    address_ = new QLineEdit(connectBox);
    address_->setObjectName(QStringLiteral("addressField"));
    address_->setPlaceholderText(qs(addressHint));
    pairingPort_ = new QLineEdit(connectBox);
    pairingPort_->setObjectName(QStringLiteral("pairingPortField"));
    pairingPort_->setInputMethodHints(Qt::ImhDigitsOnly);
    pairingPort_->setMaxLength(5);
    code_ = new QLineEdit(connectBox);
    code_->setObjectName(QStringLiteral("pairingCodeField"));
    code_->setInputMethodHints(Qt::ImhDigitsOnly);
    code_->setMaxLength(12);
    connectButton_ = new QPushButton(qs(connectText), connectBox);
    connectButton_->setObjectName(QStringLiteral("connectButton"));
    pairButton_ = new QPushButton(qs(pairText), connectBox);
    pairButton_->setObjectName(QStringLiteral("pairButton"));
    pairButton_->setAutoDefault(false);
    pairingNote_ = note(connectBox, pairingHelp);
    pairingNote_->setObjectName(QStringLiteral("pairingNote"));
    // Each field is named by its label, for the keyboard and screen readers.
    const auto labelled = [&](std::string_view text, QLineEdit* field) {
        auto* label = new QLabel(qs(text), connectBox);
        label->setBuddy(field);
        field->setAccessibleName(QString(qs(text)).remove(QLatin1Char('&')).remove(QLatin1Char(':')));
        form->addRow(label, field);
    };
    labelled(addressLabel, address_);
    form->addRow(QString(), connectButton_);
    form->addRow(pairingNote_);
    labelled(pairingPortLabel, pairingPort_);
    labelled(codeLabel, code_);
    form->addRow(QString(), pairButton_);
    column->addWidget(connectBox);

    result_ = note(this, "");
    result_->setObjectName(QStringLiteral("wirelessResult"));
    result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    transcript_ = new QPlainTextEdit(this);
    transcript_->setObjectName(QStringLiteral("wirelessTranscript"));
    transcript_->setReadOnly(true);
    transcript_->setAccessibleName(QStringLiteral("Commands"));
    transcript_->setFont(captionMonospacedFont(font()));
    transcript_->setMinimumHeight(90);
    column->addWidget(result_);
    column->addWidget(transcript_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(buttons);
    setMinimumWidth(480);

    connect(switchButton_, &QPushButton::clicked, this, [this] {
        Wireless::Request request;
        request.kind = Wireless::Request::Kind::switchToWiFi;
        request.target = model_->selectedDeviceID().value_or("");
        send(std::move(request));
    });
    connect(connectButton_, &QPushButton::clicked, this, [this] {
        Wireless::Request request;
        request.target = address_->text().toStdString();
        send(std::move(request));
    });
    connect(pairButton_, &QPushButton::clicked, this, [this] {
        // The pairing port is the address's host with the port the phone's
        // pairing dialog shows; the connection then goes to the address.
        Wireless::Request request;
        request.kind = Wireless::Request::Kind::pair;
        QString host = address_->text().trimmed();
        if (!host.startsWith(QLatin1Char('[')) && host.count(QLatin1Char(':')) == 1) host = host.section(QLatin1Char(':'), 0, 0);
        request.target = (host + QLatin1Char(':') + pairingPort_->text().trimmed()).toStdString();
        request.code = code_->text().toStdString();
        request.connectTo = address_->text().toStdString();
        send(std::move(request));
    });
    for (QLineEdit* field : {address_, pairingPort_, code_}) connect(field, &QLineEdit::textChanged, this, &WirelessDialog::update);

    pairingKnown(false);
    pairingNote_->setText(QString());
    model_->checkPairing([dialog = QPointer(this)](bool can) {
        if (dialog) dialog->pairingKnown(can);
    });
    update();
}

void WirelessDialog::update() {
    const DiagnosticsSnapshot snapshot = model_->snapshot();
    const std::optional<std::string>& chosen = model_->selectedDeviceID();
    const auto authorized = snapshot.authorizedDevices();
    const bool usbPhone = chosen && std::any_of(authorized.begin(), authorized.end(), [&](const AndroidDevice& device) {
                              return device.id() == *chosen && !device.overNetwork();
                          });
    switchButton_->setText(switchText(usbPhone ? QString::fromStdString(*chosen) : QStringLiteral("phone")));
    const QString shown = QString(switchButton_->text()).remove(QLatin1Char('&'));
    switchButton_->setAccessibleName(shown);
    // Room around the label where the style leaves little, as the window's buttons have.
    switchButton_->setMinimumWidth(std::max(switchButton_->sizeHint().width(),
                                            switchButton_->fontMetrics().horizontalAdvance(shown) + 2 * buttonLabelPadding));
    switchButton_->setEnabled(usbPhone && !busy_);
    switchNote_->setText(qs(usbPhone ? switchReady : switchNoPhone));
    const bool hasAddress = !address_->text().trimmed().isEmpty();
    connectButton_->setEnabled(hasAddress && !busy_);
    pairingPort_->setEnabled(canPair_);
    code_->setEnabled(canPair_);
    pairButton_->setEnabled(canPair_ && hasAddress && !pairingPort_->text().trimmed().isEmpty() &&
                            !code_->text().trimmed().isEmpty() && !busy_);
}

void WirelessDialog::pairingKnown(bool can) {
    canPair_ = can;
    pairingNote_->setText(qs(can ? pairingHelp : pairingUnsupported));
    update();
}

void WirelessDialog::send(Wireless::Request request) {
    busy_ = true;
    result_->setText(qs(workingText));
    transcript_->clear();
    update();
    model_->connectWireless(std::move(request), [dialog = QPointer(this)](const Wireless::Outcome& outcome) {
        if (dialog) dialog->finished(outcome);
    });
}

void WirelessDialog::finished(const Wireless::Outcome& outcome) {
    busy_ = false;
    const QString message = QString::fromStdString(outcome.message);
    result_->setText(message);
    QPalette colours = result_->palette();
    colours.setColor(QPalette::WindowText, outcome.succeeded() ? palette().color(QPalette::WindowText) : failureColor());
    result_->setPalette(colours);
    transcript_->setPlainText(QString::fromStdString(outcome.transcript));
    // Screen readers hear the outcome, as they hear the window's status.
    QAccessibleEvent announced(result_, QAccessible::NameChanged);
    result_->setAccessibleName(message);
    QAccessible::updateAccessibility(&announced);
    update();
}

} // namespace kelvane
