#include "DiagnosticsViewModel.h"

// Placeholder bodies: replaced by the real model.
namespace kelvane {

ViewModelServices ViewModelServices::withDefaults(ViewModelServices overrides) { return overrides; }

DiagnosticsViewModel::Subscription::Subscription(std::weak_ptr<DiagnosticsViewModel> model, std::size_t key)
    : model_(std::move(model)), key_(key) {}
DiagnosticsViewModel::Subscription::Subscription(Subscription&& other) noexcept
    : model_(std::move(other.model_)), key_(other.key_) { other.key_ = 0; }
DiagnosticsViewModel::Subscription& DiagnosticsViewModel::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) { cancel(); model_ = std::move(other.model_); key_ = other.key_; other.key_ = 0; }
    return *this;
}
DiagnosticsViewModel::Subscription::~Subscription() { cancel(); }
void DiagnosticsViewModel::Subscription::cancel() {
    if (auto model = model_.lock(); model && key_ != 0) model->unsubscribe(key_);
    key_ = 0;
}

std::shared_ptr<DiagnosticsViewModel> DiagnosticsViewModel::create(ViewModelServices services) {
    return std::shared_ptr<DiagnosticsViewModel>(new DiagnosticsViewModel(ViewModelServices::withDefaults(std::move(services))));
}
DiagnosticsViewModel::DiagnosticsViewModel(ViewModelServices services) : services_(std::move(services)) {}
void DiagnosticsViewModel::setSelectedDeviceID(std::optional<std::string> id) { selectedDeviceID_ = std::move(id); }
DiagnosticsViewModel::Subscription DiagnosticsViewModel::subscribe(Observer observer) {
    const std::size_t key = nextObserverKey_++;
    observers_.emplace(key, std::move(observer));
    return Subscription(weak_from_this(), key);
}
void DiagnosticsViewModel::unsubscribe(std::size_t key) { observers_.erase(key); }
void DiagnosticsViewModel::refresh(Completion done) { if (done) done(); }
void DiagnosticsViewModel::startMirror(bool, Completion done) { if (done) done(); }
void DiagnosticsViewModel::openLog() {}

} // namespace kelvane
