#include "UIThreadExecutor.h"

#include <QCoreApplication>
#include <QEvent>

#include <mutex>
#include <thread>
#include <vector>

namespace kelvane {

struct UIThreadExecutor::Gate {
    std::mutex mutex;
    const std::thread::id uiThread = std::this_thread::get_id();
    bool attached = false;
    QObject* receiver = nullptr;
    std::vector<Task> waiting;

    // Called with the mutex held.
    void send(Task task) {
        if (receiver) {
            QMetaObject::invokeMethod(receiver, std::move(task), Qt::QueuedConnection);
        } else if (!attached) {
            waiting.push_back(std::move(task));
        }
    }
};

UIThreadExecutor::UIThreadExecutor() : gate_(std::make_shared<Gate>()) {}

Executor UIThreadExecutor::post() const {
    return [gate = gate_](Task task) {
        std::lock_guard lock(gate->mutex);
        gate->send(std::move(task));
    };
}

std::function<bool()> UIThreadExecutor::isUIThread() const {
    return [gate = gate_] { return std::this_thread::get_id() == gate->uiThread; };
}

void UIThreadExecutor::attach() {
    QCoreApplication* application = QCoreApplication::instance();
    Q_ASSERT(application);
    std::lock_guard lock(gate_->mutex);
    if (gate_->attached) return;
    auto* receiver = new QObject(application);
    const auto close = [gate = gate_] {
        std::lock_guard closing(gate->mutex);
        gate->receiver = nullptr;
    };
    QObject::connect(receiver, &QObject::destroyed, close);
    QObject::connect(application, &QCoreApplication::aboutToQuit, receiver, close);
    gate_->attached = true;
    gate_->receiver = receiver;
    for (Task& task : gate_->waiting) gate_->send(std::move(task));
    gate_->waiting.clear();
}

void UIThreadExecutor::runArrived() { QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall); }

} // namespace kelvane
