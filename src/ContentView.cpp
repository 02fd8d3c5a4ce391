#include "ContentView.h"

namespace kelvane {

ContentView::ContentView(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {}

} // namespace kelvane
